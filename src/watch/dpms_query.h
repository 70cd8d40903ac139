#pragma once

#include <cstdio>

#include "config.h"

// Static so that a query allocates nothing; the query is not reentrant.
extern char command_buffer[command_buffer_size];
extern char line_buffer[line_buffer_size];

// Reads the query's output line by line: 1 as soon as a line says the monitor
// is on, 0 at the first line that says it is off or at the end of the output.
int scan_monitor_lines(std::FILE *stream);

// Asks the X server through xset whether DPMS reports the monitor on.
// 1 = on; 0 for off, any other state, or any failure to ask.
int query_monitor_on();
