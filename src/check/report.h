#pragma once

// How a report line judges its item: ok, warn (every step still runs) or
// FAIL (a step is skipped, or tavrin never blanks).
enum verdict : int {
	VERDICT_OK = 0,
	VERDICT_WARN = 1,
	VERDICT_FAIL = 2,
};

// The six blanking steps, as bits.
enum step : unsigned {
	STEP_BACKLIGHT_OFF = 1u << 0,
	STEP_FORCE_ON = 1u << 1,
	STEP_FILL = 1u << 2,
	STEP_FORCE_OFF = 1u << 3,
	STEP_REPAINT = 1u << 4,
	STEP_BACKLIGHT_ON = 1u << 5,
};

// Prints one item: its verdict, then `text` ("item: what was found").
void report(int verdict, const char *text);
// Prints the fix for the item just reported, indented under it.
void report_fix(const char *fix);

// Records steps that cannot work here, or that tavrin will never blank.
void skip_steps(unsigned steps);
void note_never_blanks();

// Prints the closing line and returns the exit status it stands for.
int report_steps();
