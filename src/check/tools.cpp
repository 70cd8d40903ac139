#include "check/tools.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "check/check_config.h"
#include "check/report.h"

// An empty PATH entry means the current directory, as for the shell.
static int try_directory(const char *dir, std::size_t length, const char *program, char *found,
			 std::size_t size)
{
	const int n = length == 0 ? std::snprintf(found, size, "./%s", program)
				  : std::snprintf(found, size, "%.*s/%s", static_cast<int>(length),
						  dir, program);
	if (n < 0 || static_cast<std::size_t>(n) >= size)
		return 0;
	return access(found, X_OK) == 0;
}

int find_on_path(const char *program, char *found, std::size_t size)
{
	const char *path = std::getenv("PATH");
	if (path == nullptr)
		return 0;
	for (const char *dir = path;; ++dir) {
		const char *end = std::strchr(dir, ':');
		const std::size_t length =
			end != nullptr ? static_cast<std::size_t>(end - dir) : std::strlen(dir);
		if (try_directory(dir, length, program, found, size) != 0)
			return 1;
		if (end == nullptr)
			return 0;
		dir = end;
	}
}

static int check_tool(const char *program, unsigned steps)
{
	char found[path_buffer_size];
	if (find_on_path(program, found, sizeof found) != 0) {
		report(VERDICT_OK, program, "%s", found);
		return 1;
	}
	report(VERDICT_FAIL, program, "not found through PATH");
	report_fix("apt install x11-xserver-utils, or set PATH for tavrin (its unit sets one)");
	skip_steps(steps);
	return 0;
}

int check_tools()
{
	const int xset = check_tool(xset_program, STEP_FORCE_ON | STEP_FORCE_OFF);
	if (xset == 0)
		note_never_blanks();
	check_tool(xrefresh_program, STEP_REPAINT);
	return xset;
}
