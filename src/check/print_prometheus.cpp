#include <cinttypes>
#include <cstdio>

#include "check/check_config.h"
#include "check/print.h"

// Gauges only: each value is a fact about the panel at the time of the
// check. Names follow Prometheus's rules: the tavrin_ prefix, base units,
// and no verdict in a name, so that a verdict changing keeps its series.
static constexpr char step_metric[] = "tavrin_blanking_step_runnable";
static constexpr char blanks_metric[] = "tavrin_blanking_possible";
static constexpr char item_metric[] = "tavrin_check_item_verdict";
static constexpr char time_metric[] = "tavrin_check_timestamp_seconds";
static constexpr char build_metric[] = "tavrin_build_info";
static constexpr char sequences_metric[] = "tavrin_sequences_total";
static constexpr char restored_metric[] = "tavrin_last_sequence_backlight_restored";
static constexpr char last_sequence_metric[] = "tavrin_last_sequence_timestamp_seconds";

static void print_header(const char *metric, const char *help, const char *type = "gauge")
{
	std::printf("# HELP %s %s\n# TYPE %s %s\n", metric, help, metric, type);
}

// What happened, beside what could: the record's sequences since boot. The
// count starts again at each boot, as a counter may.
static void print_sequences(const sequence_record &sequences)
{
	print_header(build_metric, "The version of tavrin on this panel, as its label; always 1.");
	std::printf("%s{version=\"%s\"} 1\n", build_metric, check_version);
	print_header(sequences_metric,
		     "Blanking sequences since the panel booted: how often the backlight went to "
		     "level 0 from another level.",
		     "counter");
	std::printf("%s %lld\n", sequences_metric, sequences.since_boot);
	print_header(restored_metric,
		     "1 when the backlight came back to level 8 after the last "
		     "blanking sequence, or none ran since boot; 0 when it did not.");
	std::printf("%s %d\n", restored_metric, sequences.left_dark != 0 ? 0 : 1);
	print_header(last_sequence_metric,
		     "When the last blanking sequence began, in seconds since "
		     "the Unix epoch; 0 when none ran since boot.");
	std::printf("%s %lld\n", last_sequence_metric, sequences.last_at);
}

// A label value with the three escapes the format has.
static void print_label_value(const char *text)
{
	(void)std::putchar('"');
	for (const char *s = text; *s != '\0'; ++s) {
		if (*s == '\\' || *s == '"')
			std::printf("\\%c", *s);
		else if (*s == '\n')
			(void)std::fputs("\\n", stdout);
		else
			(void)std::putchar(*s);
	}
	(void)std::putchar('"');
}

void print_prometheus(const findings &found, std::int64_t checked_at)
{
	print_header(step_metric, "1 when tavrin can run this blanking step on this panel, 0 "
				  "when it skips it.");
	for (int i = 0; i < step_count; ++i)
		std::printf("%s{step=\"%d\",name=\"%s\"} %d\n", step_metric, i + 1, step_names[i],
			    step_runs(found, i) ? 1 : 0);
	print_header(blanks_metric, "1 when tavrin blanks at all on this panel, 0 when it never "
				    "does: tavrin.service not running, or the monitor never read "
				    "on (no xset, no answer from :0.0, DPMS disabled).");
	std::printf("%s %d\n", blanks_metric, found.never_blanks != 0 ? 0 : 1);
	print_header(item_metric, "tavrin-check's verdict on each item: 0 ok, 1 warn (every step "
				  "still runs), 2 fail, 3 not checked (an earlier item stopped "
				  "the check).");
	for (std::size_t i = 0; i < found.count; ++i) {
		std::printf("%s{item=", item_metric);
		print_label_value(found.items[i].name);
		std::printf("} %d\n", found.items[i].verdict);
	}
	print_sequences(found.sequences);
	print_header(time_metric, "When tavrin-check looked at the panel, in seconds since the "
				  "Unix epoch.");
	std::printf("%s %" PRId64 "\n", time_metric, checked_at);
}
