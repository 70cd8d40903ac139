#include <cstdio>
#include <cstring>

#include "check/backlight.h"
#include "check/check_config.h"
#include "check/display.h"
#include "check/framebuffer.h"
#include "check/report.h"
#include "check/tools.h"

static constexpr char usage[] = "usage: tavrin-check [--help | --version]\n"
				"Reports whether tavrin can run its six steps on this panel.\n"
				"Exit 0: all six can work; 1: at least one cannot; 2: usage.\n";

static int run_checks()
{
	if (check_tools() != 0)
		check_display();
	check_backlight();
	check_framebuffer();
	return report_steps();
}

int main(int argc, char **argv)
{
	if (argc == 1)
		return run_checks();
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
