#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "check/backlight.h"
#include "check/check_config.h"
#include "check/display.h"
#include "check/framebuffer.h"
#include "check/print.h"
#include "check/record.h"
#include "check/report.h"
#include "check/tools.h"
#include "check/watcher.h"

static constexpr char usage[] =
	"usage: tavrin-check [--json | --prometheus | --help | --version]\n"
	"Reports whether tavrin runs and can run its six steps on this panel,\n"
	"as text, as JSON or in Prometheus's text format.\n"
	"Exit 0: all six can work; 1: at least one cannot; 2: usage.\n";

enum form : int {
	FORM_TEXT,
	FORM_JSON,
	FORM_PROMETHEUS,
};

// The checks fill the findings whatever the form; only the printer differs.
static int run_checks(int form)
{
	timespec now{};
	(void)clock_gettime(CLOCK_REALTIME, &now);
	if (check_tools() != 0)
		check_display();
	else
		report_display_unchecked("no xset to ask with");
	unsigned reached = 0;
	if (check_backlight() != 0)
		reached |= STEP_BACKLIGHT_OFF | STEP_BACKLIGHT_ON;
	check_record();
	if (check_framebuffer() != 0)
		reached |= STEP_FILL;
	check_watcher(reached);
	const int status = report_steps();
	const findings &found = report_findings();
	if (form == FORM_JSON)
		print_json(found, status);
	else if (form == FORM_PROMETHEUS)
		print_prometheus(found, static_cast<std::int64_t>(now.tv_sec));
	else
		print_text(found);
	return status;
}

int main(int argc, char **argv)
{
	if (argc == 1)
		return run_checks(FORM_TEXT);
	if (argc == 2 && std::strcmp(argv[1], "--json") == 0)
		return run_checks(FORM_JSON);
	if (argc == 2 && std::strcmp(argv[1], "--prometheus") == 0)
		return run_checks(FORM_PROMETHEUS);
	if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
		(void)std::fputs(usage, stdout);
		return 0;
	}
	if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
		std::printf("tavrin-check %s\n", check_version);
		return 0;
	}
	(void)std::fputs(usage, stderr);
	return exit_usage;
}
