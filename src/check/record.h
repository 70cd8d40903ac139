#pragma once

// Reports what happened, not only what could: the blanking sequences since
// boot as the package's udev recorder saw the backlight's levels, and
// whether the level came back to 8 after the last one.
void check_record();
