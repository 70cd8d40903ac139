#pragma once

// Runs tavrin's own query once and reports what X answers: whether display
// :0.0 answers at all (and if not, whether a server is there), DPMS, the
// reading tavrin would take now, and the DPMS time-outs.
void check_display();
// Records the same items as not checked, and why: no xset to ask with.
void report_display_unchecked(const char *why);
