#pragma once

// The X server's cookie as tavrin.service meets it. The check itself may run
// as root with every capability, where the service runs as root with none,
// so a cookie that the check reads can be one the service cannot: the X
// server then refuses the service, and the check must not answer for it.

// The process that listens at the X socket: its PID, 0 when one listens but
// cannot say who it is (a full backlog), -1 when none listens.
long x_server_pid();

// Finds the server's cookie (its -auth argument) and the one the service
// names, and points the check's own XAUTHORITY at what the service could
// use, so that the query that follows is answered as the service's would be.
void prepare_cookie();

// Whether the X cookie item will name the server's cookie and a fix of its
// own, which the display item can then point to.
int cookie_server_seen();

// Records the X cookie item once the query has been answered (1) or refused (0).
void report_cookie(int answered);
// Records it as not checked, and why.
void report_cookie_unchecked(const char *why);
