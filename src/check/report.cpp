#include "check/report.h"

#include <cstdio>

#include <unistd.h>

#include "check/check_config.h"

static constexpr int step_count = 6;
static constexpr char verdict_words[][5] = {"ok", "warn", "FAIL"};
static constexpr char verdict_colours[][6] = {"\033[32m", "\033[33m", "\033[31m"};
static constexpr char colour_reset[] = "\033[0m";

static unsigned skipped_steps = 0;
static int never_blanks = 0;

static int colour_wanted()
{
	return isatty(STDOUT_FILENO);
}

void report(int verdict, const char *text)
{
	if (colour_wanted())
		std::printf("%s%-4s%s  %s\n", verdict_colours[verdict], verdict_words[verdict],
			    colour_reset, text);
	else
		std::printf("%-4s  %s\n", verdict_words[verdict], text);
}

void report_fix(const char *fix)
{
	std::printf("      fix: %s\n", fix);
}

void skip_steps(unsigned steps)
{
	skipped_steps |= steps;
}

void note_never_blanks()
{
	never_blanks = 1;
}

// "1, 6" for the skipped steps, numbered as the README numbers them.
static void list_steps(char *out, std::size_t size)
{
	std::size_t used = 0;
	out[0] = '\0';
	for (int i = 0; i < step_count && used < size; ++i) {
		if ((skipped_steps & (1u << i)) == 0)
			continue;
		const int n =
			std::snprintf(out + used, size - used, "%s%d", used > 0 ? ", " : "", i + 1);
		if (n < 0)
			return;
		used += static_cast<std::size_t>(n);
	}
}

int report_steps()
{
	char steps[report_line_size];
	char line[report_line_size];
	list_steps(steps, sizeof steps);
	if (never_blanks != 0 && skipped_steps != 0)
		(void)std::snprintf(line, sizeof line,
				    "steps: tavrin never blanks here, and would skip %s %s",
				    steps[1] == '\0' ? "step" : "steps", steps);
	else if (never_blanks != 0)
		(void)std::snprintf(line, sizeof line, "steps: tavrin never blanks here");
	else if (skipped_steps != 0)
		(void)std::snprintf(line, sizeof line, "steps: tavrin skips %s %s here",
				    steps[1] == '\0' ? "step" : "steps", steps);
	else
		(void)std::snprintf(line, sizeof line, "steps: tavrin can run all six here");
	const int failed = never_blanks != 0 || skipped_steps != 0;
	report(failed ? VERDICT_FAIL : VERDICT_OK, line);
	return failed ? exit_steps_skipped : exit_all_steps;
}
