#include "watch/dpms_query.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "scratch_dir.h"

namespace
{

// Runs query_monitor_on with a stand-in xset first on PATH, so the real
// popen, shell and pipe are exercised.
class DpmsQuery : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		const char *path = std::getenv("PATH");
		saved_path_ = path != nullptr ? path : "";
		const std::string stand_in_path = scratch_.path() + ":/usr/bin:/bin";
		setenv("PATH", stand_in_path.c_str(), 1);
	}

	void TearDown() override
	{
		setenv("PATH", saved_path_.c_str(), 1);
	}

	void install_xset(const std::string &body)
	{
		write_file(scratch_.file("xset"), "#!/bin/sh\n" + body, 0755);
	}

	// The stand-in prints `output` byte for byte, whatever it holds.
	void install_xset_printing(const std::string &output)
	{
		write_file(scratch_.file("output"), output);
		install_xset("exec cat '" + scratch_.file("output") + "'\n");
	}

	ScratchDir scratch_;
	std::string saved_path_;
};

struct OutputCase {
	const char *name;
	std::string output;
	int expected;
	// The line the query stopped on, which tells how far it read.
	std::string last_line_read;
};

class DpmsQueryOutput : public DpmsQuery, public ::testing::WithParamInterface<OutputCase>
{
};

TEST_P(DpmsQueryOutput, FindsTheMonitorLine)
{
	const OutputCase &c = GetParam();
	install_xset_printing(c.output);
	EXPECT_EQ(query_monitor_on(), c.expected);
	EXPECT_EQ(std::string(line_buffer), c.last_line_read);
	EXPECT_STREQ(command_buffer, "xset -display :0.0 q");
}

const std::string dpms_block = "DPMS (Energy Star):\n"
			       "  Standby: 600    Suspend: 600    Off: 600\n"
			       "  DPMS is Enabled\n";
const std::string long_prefix(1020, 'x');

const OutputCase output_cases[] = {
	{"OnAfterOtherText", dpms_block + "  Monitor is On\nFont Path:\n", 1, "  Monitor is On\n"},
	{"OnStopsReading", "Monitor is On\nMonitor is Off\n", 1, "Monitor is On\n"},
	{"OffStopsReading", "  Monitor is Off\nMonitor is On\n", 0, "  Monitor is Off\n"},
	{"OffAfterOtherText", dpms_block + "  Monitor is Off\ntrailer\n", 0, "  Monitor is Off\n"},
	{"OtherStateReadsToTheEnd", dpms_block + "  Monitor is in Standby\nlast\n", 0, "last\n"},
	{"BothPhrasesInOneLineReadOn", "Monitor is Off, Monitor is On\n", 1,
	 "Monitor is Off, Monitor is On\n"},
	{"MatchIsCaseSensitive", "monitor is on\nMONITOR IS ON\n", 0, "MONITOR IS ON\n"},
	{"OnWithoutNewline", "Monitor is On", 1, "Monitor is On"},
	// fgets hands over 1023 characters at a time: a phrase cut by that
	// boundary is in neither piece.
	{"PhraseStraddlingPiecesIsMissed", long_prefix + "Monitor is On\n", 0, "itor is On\n"},
	{"PhraseInSecondPieceIsFound", long_prefix + "xxxMonitor is On\n", 1, "Monitor is On\n"},
	{"DisabledDpmsHasNoMonitorLine",
	 "DPMS (Energy Star):\n  Server does not have the DPMS Extension\n", 0,
	 "  Server does not have the DPMS Extension\n"},
};

INSTANTIATE_TEST_SUITE_P(Outputs, DpmsQueryOutput, ::testing::ValuesIn(output_cases),
			 [](const auto &info) { return std::string(info.param.name); });

TEST_F(DpmsQuery, EmptyOutputReadsNotOn)
{
	install_xset_printing("");
	EXPECT_EQ(query_monitor_on(), 0);
}

TEST_F(DpmsQuery, EveryFailureToAskReadsNotOn)
{
	// No xset on PATH at all: the shell reports it and exits 127.
	EXPECT_EQ(query_monitor_on(), 0);

	install_xset("echo 'xset:  unable to open display \":0.0\"' >&2\nexit 1\n");
	EXPECT_EQ(query_monitor_on(), 0);

	install_xset("kill -9 $$\n");
	EXPECT_EQ(query_monitor_on(), 0);

	// The exit status is not what decides.
	install_xset("echo 'Monitor is On'\nexit 3\n");
	EXPECT_EQ(query_monitor_on(), 1);
}

TEST_F(DpmsQuery, ShortReadDoesNotWaitForTheRestOfAFloodOfOutput)
{
	// Closing the pipe early must end a writer that would otherwise block
	// on a full pipe forever.
	install_xset("echo 'Monitor is On'\nexec yes 'filler line'\n");
	EXPECT_EQ(query_monitor_on(), 1);
}

} // namespace
