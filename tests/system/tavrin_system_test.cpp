#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simulated_panel.h"

namespace
{

// What happens to the simulated X server once tavrin has read "On" twice.
enum class Trigger {
	monitor_turns_off,
	x_server_vanishes,
};

struct PanelScenario {
	const char *name;
	PanelSetup setup;
	Trigger trigger;
	// The blanking steps seen on the panel, queries left out, in order.
	std::vector<std::string> steps;
	// Bytes of the framebuffer that end up white, from its start.
	std::size_t white_bytes;
};

const std::string small_fill = "fb painted 48 of 64";

std::vector<std::string> all_steps(const std::string &fill = small_fill)
{
	return {
		"brightness 0",
		"xset dpms force on begin",
		"xset dpms force on end",
		fill,
		"xset dpms force off begin",
		"xset dpms force off end",
		"xrefresh -display :0.0 -black begin",
		"xrefresh -display :0.0 -black end",
		"brightness 8",
	};
}

std::vector<std::string> all_steps_but(const std::string &prefix)
{
	std::vector<std::string> steps;
	for (const std::string &step : all_steps())
		if (step.rfind(prefix, 0) != 0)
			steps.push_back(step);
	return steps;
}

bool is_step(const PanelEvent &event)
{
	const std::string &what = event.what;
	return what.rfind("query", 0) != 0 && what.find("closed") == std::string::npos;
}

std::vector<std::string> steps_of(const std::vector<PanelEvent> &events)
{
	std::vector<std::string> steps;
	for (const PanelEvent &event : events)
		if (is_step(event))
			steps.push_back(event.what);
	return steps;
}

double time_of_first(const std::vector<PanelEvent> &events, const std::string &what)
{
	for (const PanelEvent &event : events)
		if (event.what.rfind(what, 0) == 0)
			return event.time;
	return -1;
}

// Every line tavrin's streams carry must come from the tools it runs.
void expect_only_tool_output(const std::string &output)
{
	std::size_t start = 0;
	while (start < output.size()) {
		std::size_t end = output.find('\n', start);
		if (end == std::string::npos)
			end = output.size();
		const std::string line = output.substr(start, end - start);
		EXPECT_TRUE(line.rfind("xset:", 0) == 0 || line.rfind("xrefresh:", 0) == 0)
			<< "unexpected output: " << line;
		start = end + 1;
	}
}

class PanelScenarios : public ::testing::TestWithParam<PanelScenario>
{
};

TEST_P(PanelScenarios, BlankingSequenceRunsOneCycleAfterMonitorTurnsOff)
{
	const PanelScenario &s = GetParam();
	SimulatedPanel panel(s.setup);
	panel.start_tavrin();
	ASSERT_TRUE(panel.wait_for_events("query On", 2, 10)) << "tavrin never asked twice";

	if (s.trigger == Trigger::monitor_turns_off)
		panel.set_monitor_on(false);
	else
		panel.set_x_reachable(false);
	const std::string not_on =
		s.trigger == Trigger::monitor_turns_off ? "query Off" : "query unreachable";
	// The sequence runs in the cycle after the change was read; two more
	// cycles show that it does not run again.
	ASSERT_TRUE(panel.wait_for_events(not_on, 4, 10)) << "tavrin stopped cycling";
	EXPECT_TRUE(panel.stop_tavrin()) << "tavrin died";

	const std::vector<PanelEvent> events = panel.events();
	EXPECT_EQ(steps_of(events), s.steps);

	const double change_read = time_of_first(events, not_on);
	const double sequence_began = time_of_first(events, s.steps.front());
	EXPECT_GE(sequence_began - change_read, 1.0) << "one whole wait comes first";
	EXPECT_LT(sequence_began - change_read, 1.7) << "then only the next query";

	// Each descriptor the steps opened was closed again.
	const int brightness_writes =
		panel.count_events("brightness 0") + panel.count_events("brightness 8");
	EXPECT_EQ(panel.count_events("brightness closed"), brightness_writes);
	EXPECT_EQ(panel.count_events("fb closed"), s.setup.framebuffer ? 1 : 0);

	if (s.setup.brightness) {
		EXPECT_EQ(panel.brightness(), "8\n");
	}
	if (s.setup.framebuffer) {
		const std::string white(s.white_bytes, '\xff');
		const std::string untouched(s.setup.framebuffer_bytes - s.white_bytes, '\0');
		EXPECT_TRUE(panel.framebuffer() == white + untouched) << "framebuffer contents";
	}
	expect_only_tool_output(panel.tavrin_output());
}

const PanelScenario panel_scenarios[] = {
	{"WholePanel", {}, Trigger::monitor_turns_off, all_steps(), 48},
	{"NoBacklight",
	 {.brightness = false},
	 Trigger::monitor_turns_off,
	 all_steps_but("brightness"),
	 48},
	{"NoFramebuffer",
	 {.framebuffer = false},
	 Trigger::monitor_turns_off,
	 all_steps_but("fb"),
	 0},
	{"XServerVanishesAfterOn",
	 {},
	 Trigger::x_server_vanishes,
	 {"brightness 0", "xset dpms force on unreachable", small_fill,
	  "xset dpms force off unreachable", "xrefresh unreachable", "brightness 8"},
	 48},
	// At 800 × 480 the painted region is longer than the mapping: painting
	// stops at its end instead of faulting, and only the mapping turns white.
	{"LandscapePanelPaintsOnlyTheMapping",
	 {.geometry = "800 480 480 16", .framebuffer_bytes = 1536000},
	 Trigger::monitor_turns_off,
	 all_steps("fb painted 921600 of 921600"),
	 921600},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, PanelScenarios, ::testing::ValuesIn(panel_scenarios),
			 [](const auto &info) { return std::string(info.param.name); });

TEST(Watcher, MonitorNeverReportedOnNeverBlanks)
{
	SimulatedPanel panel({});
	panel.set_x_reachable(false);
	panel.start_tavrin();
	ASSERT_TRUE(panel.wait_for_events("query unreachable", 3, 10));
	panel.set_x_reachable(true);
	panel.set_monitor_on(false);
	ASSERT_TRUE(panel.wait_for_events("query Off", 3, 10));
	EXPECT_TRUE(panel.stop_tavrin());

	const std::vector<PanelEvent> events = panel.events();
	EXPECT_TRUE(steps_of(events).empty());
	EXPECT_EQ(panel.brightness(), "5\n");
}

TEST(Watcher, AsksOnceASecond)
{
	SimulatedPanel panel({});
	panel.start_tavrin();
	ASSERT_TRUE(panel.wait_for_events("query On", 4, 10));
	panel.stop_tavrin();

	const std::vector<PanelEvent> events = panel.events();
	for (std::size_t i = 1; i < 4; ++i) {
		const double gap = events[i].time - events[i - 1].time;
		EXPECT_GE(gap, 1.0);
		EXPECT_LT(gap, 1.5);
	}
	EXPECT_EQ(panel.tavrin_output(), "");
}

} // namespace
