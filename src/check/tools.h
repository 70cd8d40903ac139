#pragma once

#include <cstddef>

// Looks `program` up through PATH the way the shell that runs tavrin's
// commands does. Returns 1 and its path in `found`, or 0.
int find_on_path(const char *program, char *found, std::size_t size);

// Reports xset and xrefresh. Returns 1 when xset is there to ask X.
int check_tools();
