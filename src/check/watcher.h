#pragma once

// Reports whether systemd runs tavrin.service now, and whether the running
// watcher reaches the devices the check reached: its sandbox holds only
// those that were there when it started. `reached` holds the steps whose
// device the check itself reached: the backlight's and the fill's.
void check_watcher(unsigned reached);
