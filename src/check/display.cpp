#include "check/display.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check/check_config.h"
#include "check/command.h"
#include "check/cookie.h"
#include "check/decimal.h"
#include "check/report.h"
#include "watch/dpms_query.h"

static constexpr char display_item[] = "display :0.0";

static char query_output[query_output_size];
static std::size_t query_length = 0;

static int x_server_listening()
{
	return x_server_pid() >= 0;
}

// DPMS, the reading and the time-outs come from the query's answer.
static void report_answer_unchecked(const char *why)
{
	report_unchecked("DPMS", why);
	report_unchecked("reading", why);
	report_unchecked("time-outs", why);
}

void report_display_unchecked(const char *why)
{
	report_unchecked(display_item, why);
	report_cookie_unchecked(why);
	report_answer_unchecked(why);
}

static void report_unanswered()
{
	if (x_server_listening() != 0) {
		report(VERDICT_FAIL, display_item,
		       "a server listens at %s but refuses the connection", x_socket_path);
		if (cookie_server_seen() != 0)
			report_fix("authorization: the X cookie line says what tavrin lacks");
		else
			report_fix("authorization: Environment=XAUTHORITY=<the server's cookie> in "
				   "%s, linked into %s",
				   cookie_drop_in, check_drop_in_dir);
	} else {
		report(VERDICT_FAIL, display_item, "no X server socket at %s", x_socket_path);
		report_fix("start the X server on :0 (is the display manager running?)");
	}
	note_never_blanks();
	skip_steps(STEP_FORCE_ON | STEP_FORCE_OFF | STEP_REPAINT);
}

// tavrin's own query has no time-out: against this server it waits as long
// as the server lives, and never reads the monitor on.
static void report_hung()
{
	if (x_server_listening() != 0)
		report(VERDICT_FAIL, display_item,
		       "the X server at %s accepted the connection but did not answer within %ld s",
		       x_socket_path, command_time_limit_seconds);
	else
		report(VERDICT_FAIL, display_item, "\"%s\" did not end within %ld s",
		       dpms_query_command, command_time_limit_seconds);
	report_fix("restart the X server (is the display manager hung?)");
	note_never_blanks();
	skip_steps(STEP_FORCE_ON | STEP_FORCE_OFF | STEP_REPAINT);
}

static void report_dpms_enabled()
{
	if (std::strstr(query_output, dpms_enabled_phrase) != nullptr) {
		report(VERDICT_OK, "DPMS", "Enabled");
		return;
	}
	report(VERDICT_FAIL, "DPMS", "%s",
	       std::strstr(query_output, dpms_disabled_phrase) != nullptr
		       ? "Disabled, so X never reports the monitor"
		       : "not reported (no DPMS extension?)");
	report_fix("xset -display :0.0 +dpms, or Option \"DPMS\" in the X configuration");
	note_never_blanks();
}

enum reading : int {
	READING_NONE,
	READING_ON,
	READING_OFF,
	READING_OTHER,
};

// The daemon's own scan decides on; where it stopped tells off from the rest.
static int take_reading()
{
	if (query_length == 0)
		return READING_NONE;
	std::FILE *stream = fmemopen(query_output, query_length, "r");
	if (stream == nullptr)
		return READING_NONE;
	const int on = scan_monitor_lines(stream);
	(void)std::fclose(stream);
	if (on != 0)
		return READING_ON;
	if (std::strstr(line_buffer, monitor_off_phrase) != nullptr)
		return READING_OFF;
	if (std::strstr(query_output, monitor_phrase) != nullptr)
		return READING_OTHER;
	return READING_NONE;
}

static void report_reading(int reading)
{
	const char *monitor = std::strstr(query_output, monitor_phrase);
	const int length = monitor != nullptr ? static_cast<int>(std::strcspn(monitor, "\n")) : 0;
	if (reading == READING_ON) {
		report(VERDICT_OK, "reading", "%.*s", length, monitor);
	} else if (reading == READING_NONE) {
		report(VERDICT_FAIL, "reading",
		       "none, no \"Monitor is\" line: tavrin never blanks");
		note_never_blanks();
	} else {
		report(VERDICT_WARN, "reading",
		       "%.*s, read as not on: tavrin blanks after the next On", length, monitor);
	}
}

// The number after `label` in `text`, or -1.
static long number_after(const char *text, const char *label)
{
	const char *at = text != nullptr ? std::strstr(text, label) : nullptr;
	if (at == nullptr)
		return -1;
	const char *digits = at + std::strlen(label);
	const char *end = nullptr;
	const long value = read_decimal<long>(digits, digits + std::strlen(digits), &end);
	return end != digits ? value : -1;
}

static void report_timeouts()
{
	const char *standby = std::strstr(query_output, standby_label);
	const long times[] = {number_after(standby, standby_label),
			      number_after(standby, suspend_label),
			      number_after(standby, off_label)};
	if (times[0] < 0 || times[1] < 0 || times[2] < 0) {
		report(VERDICT_WARN, "time-outs", "not reported");
		return;
	}
	const int never = times[0] + times[1] + times[2] == 0;
	report(never ? VERDICT_WARN : VERDICT_OK, "time-outs",
	       "standby %ld s, suspend %ld s, off %ld s%s", times[0], times[1], times[2],
	       never ? ": X never blanks by itself" : "");
	if (never)
		report_fix("xset -display :0.0 dpms 0 0 600 blanks after ten idle minutes");
}

void check_display()
{
	prepare_cookie();
	const int result = run_command(dpms_query_command, command_time_limit_seconds, query_output,
				       sizeof query_output, &query_length);
	if (result == COMMAND_TIMED_OUT) {
		report_hung();
		report_cookie_unchecked("the X server does not answer");
		report_answer_unchecked("display :0.0 does not answer");
		return;
	}
	if (result != COMMAND_SUCCEEDED) {
		report_unanswered();
		report_cookie(0);
		report_answer_unchecked("display :0.0 does not answer");
		return;
	}
	report(VERDICT_OK, display_item, "answers \"%s\"", dpms_query_command);
	report_cookie(1);
	report_dpms_enabled();
	report_reading(take_reading());
	report_timeouts();
}
