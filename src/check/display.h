#pragma once

// Runs tavrin's own query once and reports what X answers: whether display
// :0.0 answers at all (and if not, whether a server is there), DPMS, the
// reading tavrin would take now, and the DPMS time-outs.
void check_display();
