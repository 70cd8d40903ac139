#pragma once

#include <cstdint>

enum : std::int32_t {
	STARTING = 0,
	WATCHING = 1,
	BLANK_PENDING = 2,
};

// The only state that outlives a cycle.
extern std::int32_t watch_state;
extern std::uint8_t monitor_was_on;

// Advances the state machine with this cycle's reading (1 = on) and records
// the reading for the next cycle. Returns 1 when this cycle must blank.
int advance_watch_state(int on);

// Waits one cycle interval, resuming for the time still owed when a signal
// handler interrupts it. Returns 0, or -1 on an error other than EINTR.
int wait_one_cycle();

[[noreturn]] void watch_loop();
