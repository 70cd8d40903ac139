#pragma once

#include <cstddef>

#include "check/check_config.h"

// How an item is judged: ok, warn (every step still runs) or fail (a step
// is skipped, or tavrin never blanks); or not checked, where an earlier item
// stopped the check. Every report carries every item, so that no series of
// a report comes and goes with what the panel has.
enum verdict : int {
	VERDICT_OK = 0,
	VERDICT_WARN = 1,
	VERDICT_FAIL = 2,
	VERDICT_UNCHECKED = 3,
};

// The six blanking steps, as bits, in the order tavrin runs them.
enum step : unsigned {
	STEP_BACKLIGHT_OFF = 1u << 0,
	STEP_FORCE_ON = 1u << 1,
	STEP_FILL = 1u << 2,
	STEP_FORCE_OFF = 1u << 3,
	STEP_REPAINT = 1u << 4,
	STEP_BACKLIGHT_ON = 1u << 5,
};

inline constexpr int step_count = 6;
// Indexed by step number less one. Reports name the steps with these, so
// they only ever gain entries.
inline constexpr const char *step_names[step_count] = {
	"backlight_off",  "dpms_force_on",  "framebuffer_white",
	"dpms_force_off", "xrefresh_black", "backlight_on",
};

// One thing the check looked at: "mapping", how it is judged, what was
// found, and what to do about it (empty when nothing is to be done).
struct item {
	int verdict;
	char name[item_name_size];
	char detail[item_detail_size];
	char fix[item_fix_size];
};

// What the backlight's record says of the blanking sequences that ran.
struct sequence_record {
	long long since_boot;
	// When the last one began, in seconds since the epoch; 0 for none.
	long long last_at;
	// The backlight did not come back to level 8 after the last one.
	int left_dark;
};

// Everything one run found, filled by the checks and read by the printers.
struct findings {
	item items[max_items];
	std::size_t count;
	unsigned skipped_steps;
	int never_blanks;
	sequence_record sequences;
};

// Records one item; `format` and what follows make its detail.
void report(int verdict, const char *name, const char *format, ...)
	__attribute__((format(printf, 3, 4)));
// Records an item that an earlier one kept from being checked, and why.
void report_unchecked(const char *name, const char *why);
// The fix for the item just recorded, made as a detail is.
void report_fix(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Records what the backlight's record says of the sequences that ran.
void note_sequences(const sequence_record &sequences);

// Records steps that cannot work here, or that tavrin will never blank.
void skip_steps(unsigned steps);
void note_never_blanks();

// Records the closing "steps" item and returns the exit status it stands for.
int report_steps();

const findings &report_findings();
