#pragma once

#include <cstdint>

#include "check/report.h"

// One printer per form of the report, each writing the same findings to
// standard output; none of them looks at the panel.

// Aligned lines for a person, in colour on a terminal.
void print_text(const findings &found);
// One JSON document; its fields are described in tavrin-check(1).
void print_json(const findings &found, int status);
// Prometheus's text exposition format, for the node exporter's textfile
// collector; `checked_at` is the check's time in seconds since the epoch.
void print_prometheus(const findings &found, std::int64_t checked_at);

// What the printers agree on.
inline constexpr const char *verdict_words[] = {"ok", "warn", "fail", "unchecked"};

inline bool step_runs(const findings &found, int index)
{
	return (found.skipped_steps & (1u << index)) == 0;
}
