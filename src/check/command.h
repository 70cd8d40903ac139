#pragma once

#include <cstddef>

enum command_result : int {
	COMMAND_SUCCEEDED,
	// It could not be started, exited non-zero or was killed.
	COMMAND_FAILED,
	// It was still running at the deadline, and was killed with what it started.
	COMMAND_TIMED_OUT,
};

// Runs `command` with /bin/sh, as popen would, but never for longer than
// `seconds`. What it writes to standard output is kept,
// NUL-terminated, in `out`; `length` says how much. Its standard error is
// the check's.
int run_command(const char *command, long seconds, char *out, std::size_t size,
		std::size_t *length);
