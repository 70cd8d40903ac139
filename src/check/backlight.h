#pragma once

// Reports the brightness attribute tavrin writes: present, writable, and
// whether the driver takes tavrin's "on" level.
void check_backlight();
