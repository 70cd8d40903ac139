#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "report_forms.h"
#include "simulated_panel.h"

namespace
{

// What goes wrong once tavrin has read "On" twice.
enum class Trigger {
	monitor_turns_off,
	x_server_vanishes,
	xset_removed,
	query_fails,
	query_killed,
	query_silent,
};

struct PanelScenario {
	const char *name;
	PanelSetup setup;
	Trigger trigger;
	// The blanking steps seen on the panel, queries left out, in order.
	std::vector<std::string> steps;
	// Bytes of the framebuffer that end up white, from its start.
	std::size_t white_bytes;
	// When not empty, the trigger is undone after the first sequence, tavrin
	// reads "On" again, the monitor turns off, and these steps follow.
	std::vector<std::string> steps_after_recovery = {};
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

// Every step but those starting with `prefix`, which become `replacement`
// when one is given.
std::vector<std::string> all_steps_but(const std::string &prefix,
				       const std::string &replacement = "")
{
	std::vector<std::string> steps;
	for (const std::string &step : all_steps())
		if (step.rfind(prefix, 0) != 0)
			steps.push_back(step);
		else if (!replacement.empty())
			steps.push_back(replacement);
	return steps;
}

bool is_query(const PanelEvent &event)
{
	return event.what.rfind("query", 0) == 0;
}

bool is_step(const PanelEvent &event)
{
	return !is_query(event) && event.what.find("closed") == std::string::npos;
}

std::vector<std::string> steps_of(const std::vector<PanelEvent> &events)
{
	std::vector<std::string> steps;
	for (const PanelEvent &event : events)
		if (is_step(event))
			steps.push_back(event.what);
	return steps;
}

std::vector<double> query_times(const std::vector<PanelEvent> &events)
{
	std::vector<double> times;
	for (const PanelEvent &event : events)
		if (is_query(event))
			times.push_back(event.time);
	return times;
}

double time_of_first_step(const std::vector<PanelEvent> &events)
{
	for (const PanelEvent &event : events)
		if (is_step(event))
			return event.time;
	return -1;
}

auto queries_at_least(std::size_t count)
{
	return [count](const std::vector<PanelEvent> &events) {
		return query_times(events).size() >= count;
	};
}

auto steps_at_least(std::size_t count)
{
	return [count](const std::vector<PanelEvent> &events) {
		return steps_of(events).size() >= count;
	};
}

void set_trigger(SimulatedPanel &panel, Trigger trigger, bool active)
{
	switch (trigger) {
	case Trigger::monitor_turns_off:
		panel.set_monitor_on(!active);
		break;
	case Trigger::x_server_vanishes:
		panel.set_x_reachable(!active);
		break;
	case Trigger::xset_removed:
		panel.set_xset_installed(!active);
		break;
	case Trigger::query_fails:
		panel.set_query_mode(active ? "fail" : "");
		break;
	case Trigger::query_killed:
		panel.set_query_mode(active ? "killed" : "");
		break;
	case Trigger::query_silent:
		panel.set_query_mode(active ? "silent" : "");
		break;
	}
}

// Every line tavrin's streams carry must come from the tools it runs, or
// from the shell that runs them: it reports a missing command, and a
// command killed by a signal.
void expect_only_tool_output(const std::string &output)
{
	std::size_t start = 0;
	while (start < output.size()) {
		std::size_t end = output.find('\n', start);
		if (end == std::string::npos)
			end = output.size();
		const std::string line = output.substr(start, end - start);
		EXPECT_TRUE(line.rfind("xset:", 0) == 0 || line.rfind("xrefresh:", 0) == 0 ||
			    line.rfind("sh: ", 0) == 0 || line == "Killed")
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
	const bool recovers = !s.steps_after_recovery.empty();
	SimulatedPanel panel(s.setup);
	panel.start_tavrin();
	ASSERT_TRUE(panel.wait_for(queries_at_least(2), 10)) << "tavrin never asked twice:\n"
							     << panel.tavrin_output();

	const std::size_t on_readings = query_times(panel.events()).size();
	set_trigger(panel, s.trigger, true);
	if (!recovers) {
		// The sequence runs in the cycle after the change was read; two
		// more cycles show that the loop goes on and does not run it again.
		ASSERT_TRUE(panel.wait_for(queries_at_least(on_readings + 4), 10))
			<< "tavrin stopped cycling:\n"
			<< panel.tavrin_output();
	} else {
		ASSERT_TRUE(panel.wait_for(steps_at_least(s.steps.size()), 10))
			<< "the first sequence never ended";
		set_trigger(panel, s.trigger, false);
		const std::size_t queries = query_times(panel.events()).size();
		ASSERT_TRUE(panel.wait_for(queries_at_least(queries + 2), 10))
			<< "tavrin stopped cycling:\n"
			<< panel.tavrin_output();
		panel.set_monitor_on(false);
		ASSERT_TRUE(panel.wait_for(queries_at_least(queries + 6), 10))
			<< "tavrin stopped cycling:\n"
			<< panel.tavrin_output();
	}
	EXPECT_TRUE(panel.stop_tavrin()) << "tavrin died";

	const std::vector<PanelEvent> events = panel.events();
	std::vector<std::string> expected = s.steps;
	expected.insert(expected.end(), s.steps_after_recovery.begin(),
			s.steps_after_recovery.end());
	EXPECT_EQ(steps_of(events), expected);

	// Read on, wait, read not on, wait, read, blank: two whole waits and two
	// queries come first, and a third wait would mean a cycle too late. A
	// query without xset leaves no trace; under a launcher queries are slow,
	// so only the native run bounds the time from above.
	const std::vector<double> queries = query_times(events);
	const double last_on_reading = queries.at(on_readings - 1);
	const double sequence_began = time_of_first_step(events);
	const auto queries_before_sequence =
		std::count_if(queries.begin() + on_readings, queries.end(),
			      [&](double time) { return time < sequence_began; });
	const bool change_read_logged = s.trigger != Trigger::xset_removed;
	EXPECT_EQ(queries_before_sequence, change_read_logged ? 2 : 0);
	EXPECT_GE(sequence_began - last_on_reading, 2.0);
	if (std::getenv("TAVRIN_TEST_LAUNCHER") == nullptr) {
		if (change_read_logged)
			EXPECT_LT(sequence_began - queries.at(on_readings), 1.9) << "a cycle late";
		else
			EXPECT_LT(sequence_began - last_on_reading, 2.9) << "a cycle late";
	}

	// Each descriptor the steps opened was closed again.
	const int brightness_writes =
		panel.count_events("brightness 0") + panel.count_events("brightness 8");
	EXPECT_EQ(panel.count_events("brightness closed"), brightness_writes);
	const int sequences = recovers ? 2 : 1;
	EXPECT_EQ(panel.count_events("fb closed"), s.setup.framebuffer ? sequences : 0);

	struct stat brightness;
	const bool brightness_exists =
		stat(panel.dir().file("brightness").c_str(), &brightness) == 0;
	if (s.setup.brightness_directory)
		EXPECT_TRUE(brightness_exists && S_ISDIR(brightness.st_mode));
	else if (!s.setup.brightness)
		EXPECT_FALSE(brightness_exists) << "a missing attribute must not be created";
	else
		EXPECT_EQ(panel.brightness(), brightness_writes > 0 ? "8\n" : "5\n");
	if (s.setup.framebuffer) {
		const std::string white(s.white_bytes, '\xff');
		const std::string untouched(s.setup.framebuffer_bytes - s.white_bytes, '\0');
		EXPECT_TRUE(panel.framebuffer() == white + untouched) << "framebuffer contents";
	}
	expect_only_tool_output(panel.tavrin_output());
}

const std::vector<std::string> x_server_gone_steps = {"brightness 0",
						      "xset dpms force on unreachable",
						      small_fill,
						      "xset dpms force off unreachable",
						      "xrefresh unreachable",
						      "brightness 8"};

const PanelScenario panel_scenarios[] = {
	{"WholePanel", {}, Trigger::monitor_turns_off, all_steps(), 48},
	{"NoBacklight",
	 {.brightness = false},
	 Trigger::monitor_turns_off,
	 all_steps_but("brightness"),
	 48},
	{"BacklightOnReadOnlySysfs",
	 {.faults = "brightness"},
	 Trigger::monitor_turns_off,
	 all_steps_but("brightness", "brightness open refused"),
	 48},
	{"BacklightIsADirectory",
	 {.brightness_directory = true},
	 Trigger::monitor_turns_off,
	 all_steps_but("brightness"),
	 48},
	{"NoFramebuffer",
	 {.framebuffer = false},
	 Trigger::monitor_turns_off,
	 all_steps_but("fb"),
	 0},
	{"FramebufferRefusesGeometryQuery",
	 {.faults = "ioctl"},
	 Trigger::monitor_turns_off,
	 all_steps_but("fb", "fb ioctl refused"),
	 0},
	{"FramebufferRefusesMapping",
	 {.faults = "mmap"},
	 Trigger::monitor_turns_off,
	 all_steps_but("fb", "fb mmap refused 64"),
	 0},
	{"XServerVanishesAfterOn", {}, Trigger::x_server_vanishes, x_server_gone_steps, 48},
	{"XServerComesBack", {}, Trigger::x_server_vanishes, x_server_gone_steps, 48, all_steps()},
	// The shell reports the missing command; the X steps are skipped.
	{"XsetLeavesPathAndComesBack",
	 {},
	 Trigger::xset_removed,
	 {"brightness 0", small_fill, "xrefresh -display :0.0 -black begin",
	  "xrefresh -display :0.0 -black end", "brightness 8"},
	 48,
	 all_steps()},
	// In these three xset goes on answering the forced DPMS changes.
	{"QueryExitsNonZero", {}, Trigger::query_fails, all_steps(), 48},
	{"QueryKilledBySignal", {}, Trigger::query_killed, all_steps(), 48},
	{"QueryPrintsNothing", {}, Trigger::query_silent, all_steps(), 48},
	// Megabytes of other lines before the monitor line, every query.
	{"QueryFloodsTheReader",
	 {.query_mode = "flood"},
	 Trigger::monitor_turns_off,
	 all_steps(),
	 48},
	// At 800 × 480 the painted region is longer than the mapping: painting
	// stops at its end instead of faulting, and only the mapping turns white.
	{"LandscapePanelPaintsOnlyTheMapping",
	 {.geometry = "800 480 480 16", .framebuffer_bytes = 1536000},
	 Trigger::monitor_turns_off,
	 all_steps("fb painted 921600 of 921600"),
	 921600},
	// A single-buffered DRM framebuffer at 16 bpp (cirrus, 1024 × 768): the
	// driver grants the mapping past its one screen of memory, where a
	// touch would kill tavrin with SIGBUS; painting stops at the memory.
	{"DrmFbdevPaintsUpToItsMemory",
	 {.geometry = "1024 768 768 16", .framebuffer_bytes = 1572864, .maps_past_memory = true},
	 Trigger::monitor_turns_off,
	 all_steps("fb painted 1572864 of 2359296"),
	 1572864},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, PanelScenarios, ::testing::ValuesIn(panel_scenarios),
			 [](const auto &info) { return std::string(info.param.name); });

// tavrin-check against the same panel: the report line of the item each
// panel is about, the closing line that names what tavrin cannot do, and a
// panel left exactly as it was.
struct CheckScenario {
	const char *name;
	PanelSetup setup;
	// How the item's report line starts.
	std::string item;
	std::string last_line;
	int status;
	// Panel events besides queries and closes: the check's look at the
	// framebuffer, never a write; by default at the default panel's.
	std::vector<std::string> events = {"fb read-only map 64"};
};

bool has_line_starting(const std::string &text, const std::string &start)
{
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		if (line.rfind(start, 0) == 0)
			return true;
	return false;
}

std::string last_line(std::string text)
{
	if (!text.empty() && text.back() == '\n')
		text.pop_back();
	return text.substr(text.rfind('\n') + 1);
}

class CheckScenarios : public ::testing::TestWithParam<CheckScenario>
{
};

TEST_P(CheckScenarios, ReportsTheItemAndLeavesThePanelUntouched)
{
	const CheckScenario &s = GetParam();
	SimulatedPanel panel(s.setup);
	const CheckRun run = panel.run_check();
	EXPECT_TRUE(has_line_starting(run.out, expand_sim(s.item, panel.dir().path()))) << run.out;
	EXPECT_EQ(last_line(run.out), s.last_line) << run.out;
	EXPECT_EQ(run.status, s.status);
	EXPECT_EQ(run.err.find("systemd"), std::string::npos) << run.err;

	EXPECT_EQ(steps_of(panel.events()), s.events);
	EXPECT_EQ(panel.count_events("fb closed"), s.setup.framebuffer ? 1 : 0);
	EXPECT_EQ(panel.count_events("brightness closed"), s.setup.brightness ? 1 : 0);
	EXPECT_TRUE(!s.setup.brightness || panel.brightness() == "5\n");
	EXPECT_TRUE(!s.setup.framebuffer ||
		    panel.framebuffer() == std::string(s.setup.framebuffer_bytes, '\0'));
}

// The steps the text report's closing line names as skipped.
std::set<int> skipped_steps_named(const std::string &closing)
{
	std::set<int> steps;
	std::smatch match;
	if (!std::regex_search(closing, match, std::regex("skips? steps? ((\\d+, )*\\d+)")))
		return steps;
	std::istringstream in(match[1].str());
	for (std::string number; std::getline(in, number, ',');)
		steps.insert(std::stoi(number));
	return steps;
}

bool never_blanks_named(const std::string &closing)
{
	return closing.find("never blanks") != std::string::npos;
}

// The six names that reports give the steps, in the order tavrin runs them.
const char *const step_names[] = {"backlight_off",  "dpms_force_on",  "framebuffer_white",
				  "dpms_force_off", "xrefresh_black", "backlight_on"};

// The text with each byte that is not UTF-8 read as U+FFFD, as the JSON
// carries a detail.
std::string with_replacement_characters(const std::string &text)
{
	using nlohmann::json;
	return json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace))
		.get<std::string>();
}

double seconds_since_epoch()
{
	using namespace std::chrono;
	return double(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

// A member of the wrong type or a missing one throws, failing the test.
TEST_P(CheckScenarios, JsonAgreesWithTheTextReportRowForRow)
{
	const CheckScenario &s = GetParam();
	SimulatedPanel panel(s.setup);
	const CheckRun text = panel.run_check();
	const CheckRun json = panel.run_check({"--json"});
	EXPECT_EQ(json.status, text.status);
	// The parser refuses invalid UTF-8 as it refuses anything else RFC 8259 does.
	nlohmann::json document;
	ASSERT_NO_THROW(document = nlohmann::json::parse(json.out)) << json.out;

	// Each item printed the way the text report prints it, fix and all.
	std::string rows;
	ASSERT_TRUE(document.at("items").is_array());
	for (const nlohmann::json &item : document.at("items")) {
		const auto verdict = item.at("verdict").get<std::string>();
		ASSERT_TRUE(verdict == "ok" || verdict == "warn" || verdict == "fail" ||
			    verdict == "unchecked")
			<< verdict;
		char word[8];
		std::snprintf(word, sizeof word, "%-4s",
			      verdict == "fail"	       ? "FAIL"
			      : verdict == "unchecked" ? "-"
						       : verdict.c_str());
		rows += std::string(word) + "  " + item.at("name").get<std::string>() + ": " +
			item.at("detail").get<std::string>() + "\n";
		if (!item.at("fix").is_null())
			rows += "      fix: " + item.at("fix").get<std::string>() + "\n";
	}
	EXPECT_EQ(rows, with_replacement_characters(text.out));

	std::set<int> skipped;
	const nlohmann::json &steps = document.at("steps");
	ASSERT_EQ(steps.size(), 6u);
	for (std::size_t i = 0; i < steps.size(); ++i) {
		EXPECT_EQ(steps[i].at("step"), i + 1);
		EXPECT_EQ(steps[i].at("name"), step_names[i]);
		if (!steps[i].at("runs").get<bool>())
			skipped.insert(int(i + 1));
	}
	EXPECT_EQ(skipped, skipped_steps_named(last_line(text.out)));
	EXPECT_EQ(document.at("blanks").get<bool>(), !never_blanks_named(last_line(text.out)));
	EXPECT_EQ(document.at("exit_status"), text.status);
	EXPECT_TRUE(document.at("version").is_string());

	const nlohmann::json &sequences = document.at("sequences");
	if (s.setup.last_sequence_age < 0) {
		EXPECT_EQ(sequences.at("since_boot"), 0);
		EXPECT_TRUE(sequences.at("last").is_null() &&
			    sequences.at("backlight_restored").is_null());
	} else {
		EXPECT_EQ(sequences.at("since_boot"), 2);
		EXPECT_NEAR(sequences.at("last").get<double>(),
			    seconds_since_epoch() - s.setup.last_sequence_age, 2);
		EXPECT_EQ(sequences.at("backlight_restored"), s.setup.level_after_sequence == "8");
	}
}

// The items of every report, in their order.
const std::vector<std::string> every_item = {
	"xset",	     "xrefresh",  "display :0.0",   "X cookie",	     "DPMS",	    "reading",
	"time-outs", "backlight", "max_brightness", "last sequence", "framebuffer", "geometry",
	"mapping",   "painted",	  "depth",	    "watcher",	     "steps"};

// The exposition's lines, HELP texts aside (promtool requires them), as the
// text report's verdicts and the panel's record make them, up to the two
// times, which are not known in advance.
std::vector<std::string> expected_exposition(const std::string &text_report,
					     const PanelSetup &setup, const std::string &version)
{
	const std::set<int> skipped = skipped_steps_named(last_line(text_report));
	const bool blanks = !never_blanks_named(last_line(text_report));
	std::vector<std::string> lines = {"# TYPE tavrin_blanking_step_runnable gauge"};
	for (int step = 1; step <= 6; ++step)
		lines.push_back("tavrin_blanking_step_runnable{step=\"" + std::to_string(step) +
				"\",name=\"" + step_names[step - 1] + "\"} " +
				(skipped.contains(step) ? "0" : "1"));
	lines.push_back("# TYPE tavrin_blanking_possible gauge");
	lines.push_back(std::string("tavrin_blanking_possible ") + (blanks ? "1" : "0"));
	lines.push_back("# TYPE tavrin_check_item_verdict gauge");
	std::istringstream in(text_report);
	for (std::string line; std::getline(in, line);) {
		if (line.rfind("      ", 0) == 0)
			continue;
		const std::string word = line.substr(0, 4);
		const char *rank = word == "ok  "   ? "0"
				   : word == "warn" ? "1"
				   : word == "-   " ? "3"
						    : "2";
		lines.push_back("tavrin_check_item_verdict{item=\"" +
				line.substr(6, line.find(": ") - 6) + "\"} " + rank);
	}
	const bool ran = setup.last_sequence_age >= 0;
	const bool restored = !ran || setup.level_after_sequence == "8";
	for (const std::string &line :
	     {std::string("# TYPE tavrin_build_info gauge"),
	      "tavrin_build_info{version=\"" + version + "\"} 1",
	      std::string("# TYPE tavrin_sequences_total counter"),
	      std::string("tavrin_sequences_total ") + (ran ? "2" : "0"),
	      std::string("# TYPE tavrin_last_sequence_backlight_restored gauge"),
	      std::string("tavrin_last_sequence_backlight_restored ") + (restored ? "1" : "0"),
	      std::string("# TYPE tavrin_last_sequence_timestamp_seconds gauge")})
		lines.push_back(line);
	return lines;
}

TEST_P(CheckScenarios, ExpositionPassesPromtoolAndCarriesTheTextReportsVerdicts)
{
	const CheckScenario &s = GetParam();
	SimulatedPanel panel(s.setup);
	const CheckRun text = panel.run_check();
	const double before = seconds_since_epoch();
	const CheckRun exposition = panel.run_check({"--prometheus"});
	const double after = seconds_since_epoch();
	EXPECT_EQ(exposition.status, text.status);
	const std::string path = panel.dir().file("tavrin.prom");
	write_file(path, exposition.out);
	const ToolRun lint = check_metrics(path);
	EXPECT_EQ(lint.status, 0) << lint.output << exposition.out;

	std::vector<std::string> lines;
	std::istringstream in(exposition.out);
	for (std::string line; std::getline(in, line);)
		if (line.rfind("# HELP ", 0) != 0)
			lines.push_back(line);
	// The two times close the exposition: when the last sequence began, and
	// when the check ran.
	ASSERT_GE(lines.size(), 3u);
	const std::string time_sample = lines.back();
	lines.pop_back();
	EXPECT_EQ(lines.back(), "# TYPE tavrin_check_timestamp_seconds gauge");
	lines.pop_back();
	const std::string sequence_sample = lines.back();
	lines.pop_back();
	const std::string version = panel.run_check({"--version"}).out;
	EXPECT_EQ(lines,
		  expected_exposition(text.out, s.setup,
				      version.substr(version.find(' ') + 1,
						     version.size() - version.find(' ') - 2)))
		<< exposition.out;
	const std::string time_metric = "tavrin_check_timestamp_seconds ";
	ASSERT_EQ(time_sample.rfind(time_metric, 0), 0u) << time_sample;
	const double checked_at = std::stod(time_sample.substr(time_metric.size()));
	EXPECT_GE(checked_at, before);
	EXPECT_LE(checked_at, after);
	const std::string sequence_metric = "tavrin_last_sequence_timestamp_seconds ";
	ASSERT_EQ(sequence_sample.rfind(sequence_metric, 0), 0u) << sequence_sample;
	const double last_sequence = std::stod(sequence_sample.substr(sequence_metric.size()));
	if (s.setup.last_sequence_age < 0)
		EXPECT_EQ(last_sequence, 0);
	else
		EXPECT_NEAR(last_sequence, before - s.setup.last_sequence_age, 2);
	// Every item on every panel, checked or not: no series comes and goes.
	std::vector<std::string> items;
	for (const std::string &line : lines)
		if (line.rfind("tavrin_check_item_verdict{", 0) == 0)
			items.push_back(line.substr(32, line.find("\"}") - 32));
	EXPECT_EQ(items, every_item);
	// Every step runnable and tavrin blanking: what exit status 0 says.
	const std::string closing = last_line(text.out);
	EXPECT_EQ(skipped_steps_named(closing).empty() && !never_blanks_named(closing),
		  text.status == 0);
}

const std::string all_six = "ok    steps: tavrin can run all six here";
const std::string never_blanks_x_steps =
	"FAIL  steps: tavrin never blanks here, and would skip steps 2, 4, 5";
const std::string never_blanks = "FAIL  steps: tavrin never blanks here";
const std::vector<std::string> small_look = {"fb read-only map 64"};
const std::string watcher_runs = "tavrin.service runs as PID 4242";

const CheckScenario check_scenarios[] = {
	{"HealthyPanel", {}, "ok    reading: Monitor is On", all_six, 0, small_look},
	{"BacklightUnderAnotherName",
	 {.brightness = false, .other_backlight = "intel_backlight"},
	 "FAIL  backlight: no /sys/class/backlight/backlight/brightness; devices here: "
	 "intel_backlight",
	 "FAIL  steps: tavrin skips steps 1, 6 here",
	 1,
	 small_look},
	{"MaxBrightnessBelowTheOnLevel",
	 {.max_brightness = "1"},
	 "FAIL  max_brightness: 1, below 8",
	 "FAIL  steps: tavrin skips step 6 here",
	 1,
	 small_look},
	// What the udev recorder kept of the last sequence.
	{"SequenceCameBackToEight",
	 {.last_sequence_age = 60},
	 "ok    last sequence: 2 since boot; the last ",
	 all_six,
	 0},
	{"LevelEightRefusedAfterTheLastSequence",
	 {.max_brightness = "1", .last_sequence_age = 60, .level_after_sequence = "0"},
	 "FAIL  last sequence: 2 since boot; the backlight has stayed at level 0 since the last",
	 "FAIL  steps: tavrin skips step 6 here",
	 1,
	 small_look},
	{"DpmsDisabled",
	 {.dpms_enabled = false},
	 "FAIL  DPMS: Disabled",
	 never_blanks,
	 1,
	 small_look},
	{"TimeOutsAllZero",
	 {.dpms_timeouts = "0 0 0"},
	 "warn  time-outs: standby 0 s, suspend 0 s, off 0 s: X never blanks by itself",
	 all_six,
	 0,
	 small_look},
	// The items that xset would have answered are there all the same.
	{"NoXset",
	 {.xset = false},
	 "-     DPMS: not checked: no xset to ask with",
	 "FAIL  steps: tavrin never blanks here, and would skip steps 2, 4",
	 1},
	{"NoXServer",
	 {.x_reachable = false},
	 "FAIL  display :0.0: no X server socket at /tmp/.X11-unix/X0",
	 never_blanks_x_steps,
	 1,
	 small_look},
	{"XRefusesTheConnection",
	 {.x_reachable = false, .x_socket = true},
	 "FAIL  display :0.0: a server listens at /tmp/.X11-unix/X0 but refuses",
	 never_blanks_x_steps,
	 1,
	 small_look},
	{"Landscape800x480",
	 {.geometry = "800 480 480 16", .framebuffer_bytes = 1536000},
	 "warn  painted: 921600 of the 1536000-byte 2 x yres region (60%)",
	 all_six,
	 0,
	 {"fb read-only map 921600"}},
	{"DrmFbdevMapsPastItsMemory",
	 {.geometry = "1024 768 768 16", .framebuffer_bytes = 1572864, .maps_past_memory = true},
	 "warn  painted: 1572864 of the 3145728-byte 2 x yres region (50%), cut at the device's "
	 "memory",
	 all_six,
	 0,
	 {"fb read-only map 2359296"}},
	{"MappingLongerThanSmemLen",
	 {.framebuffer_bytes = 32},
	 "FAIL  mapping: the driver refuses tavrin's 64 bytes (smem_len 32)",
	 "FAIL  steps: tavrin skips step 3 here",
	 1,
	 {"fb mmap refused 64"}},
	// A device name that is not UTF-8: the JSON carries U+FFFD for the byte.
	{"BacklightNameNotUtf8",
	 {.brightness = false, .other_backlight = "panel\xff"},
	 "FAIL  backlight: no /sys/class/backlight/backlight/brightness; devices here: panel\xff",
	 "FAIL  steps: tavrin skips steps 1, 6 here",
	 1,
	 small_look},
	{"NoFramebuffer",
	 {.framebuffer = false},
	 "FAIL  framebuffer: /dev/fb0 cannot be opened read-write",
	 "FAIL  steps: tavrin skips step 3 here",
	 1,
	 {}},
	// The X server's cookie as the service meets it: root without
	// capabilities reads only what the mode bits grant it, however the
	// check itself is run.
	{"CookieTheServiceCannotRead",
	 {.x_cookie_mode = "0600", .service_xauthority = "{sim}/cookie"},
	 "FAIL  X cookie: {sim}/cookie, the X server's, owner ",
	 never_blanks_x_steps,
	 1},
	{"XauthorityNamesAnotherFile",
	 {.x_cookie_mode = "0644", .service_xauthority = "{sim}/old-cookie"},
	 "FAIL  X cookie: tavrin.service names {sim}/old-cookie, the X server takes {sim}/cookie",
	 never_blanks_x_steps,
	 1},
	{"ServiceNamesNoCookie",
	 {.x_cookie_mode = "0644"},
	 "FAIL  X cookie: tavrin.service names none, the X server takes {sim}/cookie",
	 never_blanks_x_steps,
	 1},
	{"CookieReadableByTheService",
	 {.x_cookie_mode = "0644", .service_xauthority = "{sim}/cookie"},
	 "ok    X cookie: {sim}/cookie, the X server's, readable by tavrin.service",
	 all_six,
	 0},
	{"AccessListLetsTheServiceIn",
	 {.x_cookie_mode = "0600", .x_access_list = true},
	 "ok    X cookie: {sim}/cookie, the X server's, unused: the server lets tavrin.service in",
	 all_six,
	 0},
	{"XAcceptsButNeverAnswers",
	 {.x_socket = true, .query_mode = "hang"},
	 "FAIL  display :0.0: the X server at /tmp/.X11-unix/X0 accepted the connection but did "
	 "not answer within 3 s",
	 never_blanks_x_steps,
	 1},
	// An X tool's words reach a detail as they are, control characters too.
	{"MonitorLineHoldsControlCharacters",
	 {.monitor = "Off\t\x1b[0m\x01"},
	 "warn  reading: Monitor is Off\t\x1b[0m\x01, read as not on",
	 all_six,
	 0},
	// The watcher as systemd reports it. With RestartSec=1s a watcher that
	// dies as it starts is either waiting to restart or seconds old.
	{"WatcherStopped",
	 {.watcher = "loaded inactive dead"},
	 "FAIL  watcher: tavrin.service is stopped",
	 never_blanks,
	 1},
	{"WatcherRestartingInALoop",
	 {.watcher_restarts = 7, .watcher_age_seconds = 2},
	 "FAIL  watcher: tavrin.service keeps dying: systemd has restarted it 7 times",
	 never_blanks,
	 1},
	{"WatcherRestartedLongAgo",
	 {.watcher_restarts = 7, .watcher_age_seconds = 60},
	 "ok    watcher: " + watcher_runs,
	 all_six,
	 0},
	// systemctl's own words go into the line, not to the check's stderr.
	{"NoSystemd",
	 {.watcher = ""},
	 "warn  watcher: cannot ask systemd whether tavrin.service runs (System has not been "
	 "booted with systemd)",
	 all_six,
	 0},
	{"WatcherSandboxHidden",
	 {.faults = "watcher-hidden"},
	 "warn  watcher: " + watcher_runs + "; what its sandbox reaches cannot be seen here",
	 all_six,
	 0},
	// Devices that appeared after the watcher started: outside its sandbox.
	{"DevicesAddedAfterWatcherStarted",
	 {.faults = "watcher-brightness watcher-fb"},
	 "FAIL  watcher: " + watcher_runs +
		 " in a sandbox made before a device appeared: it cannot open "
		 "/sys/class/backlight/backlight/brightness (Read-only file system), /dev/fb0 (No "
		 "such file or directory)",
	 "FAIL  steps: tavrin skips steps 1, 3, 6 here",
	 1},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, CheckScenarios, ::testing::ValuesIn(check_scenarios),
			 [](const auto &info) { return std::string(info.param.name); });

TEST(Check, AnyArgumentIsAUsageError)
{
	SimulatedPanel panel({});
	for (const std::vector<std::string> &arguments :
	     {std::vector<std::string>{"--verbose"}, {"status"}, {"--help", "--version"}}) {
		const CheckRun run = panel.run_check(arguments);
		EXPECT_EQ(run.status, 2) << arguments[0];
		EXPECT_EQ(run.out, "");
		EXPECT_EQ(run.err.rfind("usage: tavrin-check", 0), 0u) << run.err;
	}
	EXPECT_TRUE(panel.events().empty());
}

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
