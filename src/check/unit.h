#pragma once

// What systemd says of tavrin.service, asked once for every item that needs
// it (the watcher's state, the service's user, group and XAUTHORITY): a
// second question would be another process, and on a starved panel could
// get another answer, or none, within the time-out.

// Returns 1 when systemctl answered. `text` is what it wrote either way:
// the properties, one "Key=value" a line, or its own complaint.
int ask_unit(const char **text);

// The value of `key` in the answer, and its length; empty when absent.
const char *unit_property(const char *key, int *length);
