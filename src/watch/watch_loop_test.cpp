#include "watch/watch_loop.h"

#include <chrono>
#include <csignal>
#include <vector>

#include <sys/time.h>

#include <gtest/gtest.h>

namespace
{

struct ReadingCase {
	const char *name;
	std::int32_t initial_state;
	std::vector<int> readings;
	std::vector<int> blanking_cycles;
};

class WatchStateMachine : public ::testing::TestWithParam<ReadingCase>
{
};

TEST_P(WatchStateMachine, BlanksOnlyInTheCycleAfterAnOnToOffChange)
{
	const ReadingCase &c = GetParam();
	watch_state = c.initial_state;
	monitor_was_on = 0;

	std::vector<int> blanked;
	for (std::size_t cycle = 0; cycle < c.readings.size(); ++cycle)
		if (advance_watch_state(c.readings[cycle]) != 0)
			blanked.push_back(static_cast<int>(cycle));

	EXPECT_EQ(blanked, c.blanking_cycles);
	EXPECT_EQ(watch_state, c.readings.empty() ? c.initial_state : WATCHING)
		<< "every sequence ends back in WATCHING";
}

const ReadingCase reading_cases[] = {
	{"FirstCycleNeverBlanks", STARTING, {0, 0, 0}, {}},
	{"FirstReadingOnCountsForTheSecondCycle", STARTING, {1, 0, 0, 0}, {2}},
	{"NeverOnNeverBlanks", STARTING, {0, 0, 0, 0, 0, 0}, {}},
	{"StaysOnNeverBlanks", STARTING, {1, 1, 1, 1}, {}},
	{"OffToOnChangesNothing", STARTING, {0, 0, 1, 1, 1}, {}},
	{"OnToOffBlanksOneCycleLater", STARTING, {1, 1, 0, 0, 0, 0}, {3}},
	{"BlanksEvenIfMonitorIsBackOn", STARTING, {1, 1, 0, 1}, {3}},
	// Blanking forces DPMS off, so a monitor read on again in the
	// sequence's own cycle turns off once more: a second run follows.
	{"OnAgainDuringSequenceBlanksTwice", STARTING, {1, 1, 0, 1, 0, 0, 0, 0}, {3, 5}},
	{"EachWakeUpBlanksAgain", STARTING, {1, 0, 0, 1, 0, 0}, {2, 5}},
	{"UnknownStateIsTreatedAsStarting", 7, {0, 1, 0, 0}, {3}},
	{"PendingBlanksAtOnce", BLANK_PENDING, {1, 1}, {0}},
};

INSTANTIATE_TEST_SUITE_P(Readings, WatchStateMachine, ::testing::ValuesIn(reading_cases),
			 [](const auto &info) { return std::string(info.param.name); });

volatile std::sig_atomic_t alarms_seen = 0;

void count_alarm(int)
{
	alarms_seen = alarms_seen + 1;
}

TEST(CycleWait, HandledSignalResumesForTheRemainingTimeOnly)
{
	struct sigaction action = {};
	action.sa_handler = count_alarm;
	sigemptyset(&action.sa_mask);
	struct sigaction previous = {};
	ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
	alarms_seen = 0;

	const itimerval interrupt_after = {{0, 0}, {0, 300000}};
	ASSERT_EQ(setitimer(ITIMER_REAL, &interrupt_after, nullptr), 0);
	const auto started = std::chrono::steady_clock::now();
	const int result = wait_one_cycle();
	const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - started;
	sigaction(SIGALRM, &previous, nullptr);

	EXPECT_EQ(result, 0);
	EXPECT_EQ(alarms_seen, 1);
	// Stopping at the signal would give 0.3 s; restarting the interval, 1.3 s.
	EXPECT_GE(waited.count(), 0.95);
	EXPECT_LT(waited.count(), 1.25);
}

} // namespace
