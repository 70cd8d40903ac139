#include <cstdio>

#include <unistd.h>

#include "check/print.h"

// Upper case so that a failure stands out in a column of lower-case words.
static constexpr char text_words[][5] = {"ok", "warn", "FAIL", "-"};
static constexpr char verdict_colours[][6] = {"\033[32m", "\033[33m", "\033[31m", "\033[2m"};
static constexpr char colour_reset[] = "\033[0m";

static void print_item(const item &entry, int colour)
{
	if (colour)
		std::printf("%s%-4s%s  %s: %s\n", verdict_colours[entry.verdict],
			    text_words[entry.verdict], colour_reset, entry.name, entry.detail);
	else
		std::printf("%-4s  %s: %s\n", text_words[entry.verdict], entry.name, entry.detail);
	if (entry.fix[0] != '\0')
		std::printf("      fix: %s\n", entry.fix);
}

void print_text(const findings &found)
{
	const int colour = isatty(STDOUT_FILENO);
	for (std::size_t i = 0; i < found.count; ++i)
		print_item(found.items[i], colour);
}
