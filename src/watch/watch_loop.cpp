#include "watch/watch_loop.h"

#include <cerrno>
#include <ctime>

#include "config.h"
#include "watch/blanking.h"
#include "watch/dpms_query.h"

std::int32_t watch_state = STARTING;
std::uint8_t monitor_was_on = 0;

int advance_watch_state(int on)
{
	int blank_now = 0;
	switch (watch_state) {
	case WATCHING:
		if (on == 0 && monitor_was_on != 0)
			watch_state = BLANK_PENDING;
		break;
	case BLANK_PENDING:
		// The reading plays no part here: the change was seen a cycle ago,
		// and the sequence runs even if the monitor is back on by now.
		blank_now = 1;
		watch_state = WATCHING;
		break;
	default:
		// The first cycle has no previous reading to compare with.
		watch_state = WATCHING;
		break;
	}
	monitor_was_on = on != 0 ? 1 : 0;
	return blank_now;
}

int wait_one_cycle()
{
	timespec remaining = {cycle_wait_seconds, cycle_wait_nanoseconds};
	int result;
	// nanosleep leaves the time still owed in the same record, so a handled
	// signal neither shortens the wait nor starts the full interval again.
	do
		result = nanosleep(&remaining, &remaining);
	while (result == -1 && errno == EINTR);
	return result;
}

static void run_watch_cycle()
{
	const int on = query_monitor_on();
	if (advance_watch_state(on) != 0)
		blank_panel();
}

void watch_loop()
{
	for (;;) {
		run_watch_cycle();
		wait_one_cycle();
	}
}
