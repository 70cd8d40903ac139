#include "check/report.h"

#include <cstdarg>
#include <cstdio>

static findings found{};
// Where report_fix writes: the item just recorded, or none if it was dropped.
static item *last_item = nullptr;

// printf's own form, so that the compiler checks every detail's arguments.
// NOLINTNEXTLINE(cert-dcl50-cpp,bugprone-easily-swappable-parameters)
void report(int verdict, const char *name, const char *format, ...)
{
	// A table sized for every item the checks can make; one more would be
	// a new check that forgot to grow it, and is dropped rather than written
	// past the end.
	last_item = nullptr;
	if (found.count == max_items)
		return;
	item &entry = found.items[found.count++];
	last_item = &entry;
	entry.verdict = verdict;
	(void)std::snprintf(entry.name, sizeof entry.name, "%s", name);
	va_list arguments;
	va_start(arguments, format);
	(void)std::vsnprintf(entry.detail, sizeof entry.detail, format, arguments);
	va_end(arguments);
	entry.fix[0] = '\0';
}

void report_unchecked(const char *name, const char *why)
{
	report(VERDICT_UNCHECKED, name, "not checked: %s", why);
}

// NOLINTNEXTLINE(cert-dcl50-cpp)
void report_fix(const char *format, ...)
{
	if (last_item == nullptr)
		return;
	va_list arguments;
	va_start(arguments, format);
	(void)std::vsnprintf(last_item->fix, sizeof last_item->fix, format, arguments);
	va_end(arguments);
}

void note_sequences(const sequence_record &sequences)
{
	found.sequences = sequences;
}

void skip_steps(unsigned steps)
{
	found.skipped_steps |= steps;
}

void note_never_blanks()
{
	found.never_blanks = 1;
}

// "1, 6" for the skipped steps, numbered as the README numbers them.
static void list_steps(char *out, std::size_t size)
{
	std::size_t used = 0;
	out[0] = '\0';
	for (int i = 0; i < step_count && used < size; ++i) {
		if ((found.skipped_steps & (1u << i)) == 0)
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
	list_steps(steps, sizeof steps);
	// From the bits, not the text: with no step skipped, only steps[0] is written.
	const unsigned skipped = found.skipped_steps;
	const char *noun = (skipped & (skipped - 1)) == 0 ? "step" : "steps";
	const int failed = found.never_blanks != 0 || found.skipped_steps != 0;
	const int verdict = failed ? VERDICT_FAIL : VERDICT_OK;
	if (found.never_blanks != 0 && found.skipped_steps != 0)
		report(verdict, "steps", "tavrin never blanks here, and would skip %s %s", noun,
		       steps);
	else if (found.never_blanks != 0)
		report(verdict, "steps", "tavrin never blanks here");
	else if (found.skipped_steps != 0)
		report(verdict, "steps", "tavrin skips %s %s here", noun, steps);
	else
		report(verdict, "steps", "tavrin can run all six here");
	return failed ? exit_steps_skipped : exit_all_steps;
}

const findings &report_findings()
{
	return found;
}
