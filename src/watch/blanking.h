#pragma once

// Writes one level digit to a sysfs brightness attribute. Returns the result
// of open when it fails (nothing written), otherwise the result of close.
int write_brightness(const char *path, char level);

int backlight_off();
int backlight_on();

// The six steps that leave the panel white-painted, DPMS forced off and the
// backlight at its normal level. A failing step is skipped; the next one runs.
void blank_panel();
