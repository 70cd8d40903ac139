// The query, half a day of cycles' worth, and the blanking sequence, far more
// often than a day of cycles drives it, back to back must leave the process
// as they found it: no descriptor, child, mapping or memory left behind. Runs with the
// fake panel preloaded (see CMakeLists.txt), so blank_panel's real device
// paths land in a scratch directory.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "watch/blanking.h"
#include "watch/dpms_query.h"

namespace
{

constexpr long sequences = 5000;
constexpr long queries_per_sequence = 10;
constexpr long warm_up_sequences = 10;

struct Resources {
	long descriptors;
	long mappings;
	long resident_kib;
	bool children;
};

long count_lines(const std::string &text)
{
	long lines = 0;
	for (const char c : text)
		lines += c == '\n';
	return lines;
}

long count_occurrences(const std::string &text, const std::string &what)
{
	long count = 0;
	for (std::size_t at = text.find(what); at != std::string::npos;
	     at = text.find(what, at + 1))
		++count;
	return count;
}

Resources measure()
{
	Resources r{};
	r.descriptors = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
				      std::filesystem::directory_iterator());
	r.mappings = count_lines(read_file("/proc/self/maps"));
	std::istringstream status(read_file("/proc/self/status"));
	for (std::string line; std::getline(status, line);)
		if (line.rfind("VmRSS:", 0) == 0)
			r.resident_kib = std::strtol(line.c_str() + 6, nullptr, 10);
	// A zombie is still a child until it is reaped; WNOWAIT leaves it be.
	siginfo_t child{};
	r.children = waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT) == 0 || errno != ECHILD;
	return r;
}

std::string describe(const Resources &r)
{
	return std::to_string(r.descriptors) + " descriptors, " + std::to_string(r.mappings) +
	       " mappings, " + std::to_string(r.resident_kib) + " KiB resident, " +
	       (r.children ? "children" : "no children");
}

// Without the fake panel the sequence would write the machine's own
// backlight and framebuffer.
bool panel_is_simulated()
{
	Dl_info info;
	void *open_symbol = dlsym(RTLD_DEFAULT, "open");
	return open_symbol != nullptr && dladdr(open_symbol, &info) != 0 &&
	       std::strstr(info.dli_fname, "fake_panel") != nullptr;
}

long run(long sequence_count, long &on_readings)
{
	for (long i = 0; i < sequence_count; ++i) {
		for (int q = 0; q < queries_per_sequence; ++q)
			on_readings += query_monitor_on();
		blank_panel();
	}
	return sequence_count;
}

TEST(Soak, QueriesAndSequencesLeaveNothingBehind)
{
	ASSERT_TRUE(panel_is_simulated()) << "run with LD_PRELOAD naming the fake panel library";

	ScratchDir sim;
	write_file(sim.file("fb"), std::string(64, '\0'));
	write_file(sim.file("fb-geometry"), "3 4 4 16\n");
	write_file(sim.file("brightness"), "5\n");
	write_file(sim.file("faults"), "\n");
	std::filesystem::create_directory(sim.file("bin"));
	std::filesystem::create_symlink(TAVRIN_SOAK_STAND_IN, sim.file("bin/xset"));
	std::filesystem::create_symlink(TAVRIN_SOAK_STAND_IN, sim.file("bin/xrefresh"));
	setenv("TAVRIN_SIM", sim.path().c_str(), 1);
	setenv("PATH", (sim.path() + "/bin:/usr/bin:/bin").c_str(), 1);

	// The first calls set up what stays for good (stdio's buffers, the
	// loader's symbol bindings), so counting starts after them.
	long on_readings = 0;
	long ran = run(warm_up_sequences, on_readings);
	const Resources before = measure();
	const auto started = std::chrono::steady_clock::now();
	ran += run(sequences, on_readings);
	const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
	const Resources after = measure();

	std::printf("%ld queries and %ld sequences in %.1f s\nbefore: %s\nafter:  %s\n",
		    sequences * queries_per_sequence, sequences, took.count(),
		    describe(before).c_str(), describe(after).c_str());
	EXPECT_EQ(on_readings, ran * queries_per_sequence) << "every query must have been answered";
	const std::string events = read_file(sim.file("events"));
	EXPECT_EQ(count_occurrences(events, " brightness 0\n"), ran);
	EXPECT_EQ(count_occurrences(events, " fb painted 48 of 64\n"), ran);
	EXPECT_EQ(count_occurrences(events, " brightness 8\n"), ran);

	EXPECT_EQ(after.descriptors, before.descriptors);
	EXPECT_EQ(after.mappings, before.mappings);
	EXPECT_FALSE(after.children) << "a child was left unreaped";
	EXPECT_LE(after.resident_kib, before.resident_kib + 128) << "resident memory grew";
}

} // namespace
