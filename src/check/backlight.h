#pragma once

// Reports the brightness attribute tavrin writes: present, writable, and
// whether the driver takes tavrin's "on" level. Returns 1 when the
// attribute opens read-write.
int check_backlight();
