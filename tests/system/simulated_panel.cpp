#include "simulated_panel.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "system_paths.h"

extern char **environ;

namespace
{

bool names_valgrind(const std::vector<std::string> &words)
{
	return !words.empty() && std::filesystem::path(words[0]).filename() == "valgrind";
}

// The unmodified executable; TAVRIN_TEST_LAUNCHER may name a command (a
// memory checker, say) to run it under, as space-separated words. valgrind
// reports into the simulation directory, where stop_tavrin and run_check
// read it.
std::vector<std::string> command(const std::string &sim, const std::string &executable,
				 const std::string &log)
{
	std::vector<std::string> words;
	if (const char *launcher = std::getenv("TAVRIN_TEST_LAUNCHER")) {
		std::istringstream in(launcher);
		for (std::string word; in >> word;)
			words.push_back(word);
	}
	if (names_valgrind(words))
		words.insert(words.begin() + 1, "--log-file=" + sim + "/" + log);
	words.push_back(executable);
	return words;
}

std::vector<std::string> environment(const std::string &sim, const std::string &executable)
{
	std::vector<std::string> env;
	for (char **entry = environ; *entry != nullptr; ++entry) {
		const std::string item = *entry;
		if (item.rfind("PATH=", 0) != 0 && item.rfind("LD_PRELOAD=", 0) != 0 &&
		    item.rfind("TAVRIN_SIM", 0) != 0 && item.rfind("DISPLAY=", 0) != 0)
			env.push_back(item);
	}
	// Another display than the panel's: only the compiled-in :0.0 may count.
	env.push_back("DISPLAY=:7");
	// The stand-ins alone: a real xset must not answer for one taken away.
	env.push_back("PATH=" + sim + "/bin");
	env.push_back(std::string("LD_PRELOAD=") + tavrin_fake_panel);
	env.push_back("TAVRIN_SIM=" + sim);
	// Keeps the preload alive through a launcher until tavrin itself.
	env.push_back("TAVRIN_SIM_TARGET=" + executable);
	return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
	std::vector<char *> result;
	for (std::string &s : strings)
		result.push_back(s.data());
	result.push_back(nullptr);
	return result;
}

// Asleep in its cycle wait with no child running: ended there, tavrin holds
// nothing that a query or a step has open only while it runs.
bool between_cycles(pid_t pid)
{
	const std::string proc = "/proc/" + std::to_string(pid);
	const long call = std::strtol(read_file(proc + "/syscall").c_str(), nullptr, 10);
	bool sleeping = call == SYS_clock_nanosleep;
#ifdef SYS_nanosleep
	sleeping = sleeping || call == SYS_nanosleep;
#endif
	const std::string task = proc + "/task/" + std::to_string(pid);
	return sleeping && read_file(task + "/children").empty();
}

// SIGTERM ends tavrin without valgrind's --error-exitcode ever applying, so
// the report decides: no error, no heap block left, and no descriptor open
// but those tavrin was started with.
void expect_clean_memcheck_report(const std::string &path)
{
	const std::string report = read_file(path);
	bool clean = report.find("ERROR SUMMARY: 0 errors") != std::string::npos &&
		     report.find("in use at exit: 0 bytes in 0 blocks") != std::string::npos;
	std::istringstream lines(report);
	bool inherited_expected = false;
	for (std::string line; std::getline(lines, line);) {
		if (inherited_expected && line.find("<inherited from parent>") == std::string::npos)
			clean = false;
		inherited_expected = line.find("== Open ") != std::string::npos;
	}
	EXPECT_TRUE(clean) << "valgrind's report on tavrin (" << path << "):\n" << report;
}

// Starts a program with its output appended to `out`, and its errors to
// `err` (the same file when the names are equal).
pid_t spawn(std::vector<std::string> argv_strings, std::vector<std::string> env_strings,
	    const std::string &out, const std::string &err)
{
	std::vector<char *> argv = pointers(argv_strings);
	std::vector<char *> env = pointers(env_strings);
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND,
					 0644);
	if (err == out)
		posix_spawn_file_actions_adddup2(&actions, 1, 2);
	else
		posix_spawn_file_actions_addopen(&actions, 2, err.c_str(),
						 O_WRONLY | O_CREAT | O_APPEND, 0644);
	// Only the standard streams, as systemd starts a service: whatever the
	// harness or ctest left open is not the program's to account for, and a
	// memchecker that counts descriptors open at exit (valgrind 3.24) would
	// charge it with them.
	posix_spawn_file_actions_addclosefrom_np(&actions, 3);
	pid_t pid;
	const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
	posix_spawn_file_actions_destroy(&actions);
	if (error != 0)
		throw std::runtime_error("cannot start " + argv_strings.front() + ": " +
					 std::strerror(error));
	return pid;
}

sockaddr_un socket_address(const std::string &path)
{
	sockaddr_un address{};
	address.sun_family = AF_UNIX;
	if (path.size() >= sizeof address.sun_path)
		throw std::runtime_error("socket path too long: " + path);
	std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
	return address;
}

// Connections are never accepted, and each run of the check makes two.
constexpr int x_backlog = 64;

// A server at the socket that never answers: enough for a connect to succeed.
int listen_at(const std::string &path)
{
	const sockaddr_un address = socket_address(path);
	const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
	    listen(fd, x_backlog) != 0)
		throw std::runtime_error("cannot listen at " + path);
	return fd;
}

bool accepts_connections(const std::string &path)
{
	const sockaddr_un address = socket_address(path);
	const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	const bool connected = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address),
						  sizeof address) == 0;
	if (fd >= 0)
		close(fd);
	return connected;
}

} // namespace

std::string expand_sim(std::string text, const std::string &sim)
{
	static const std::string mark = "{sim}";
	for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
		text.replace(at, mark.size(), sim);
	return text;
}

// The check names the server by the process that called listen(), and
// reads its cookie from that process's command line: so the listen happens
// in the child, which then waits in a shell whose arguments are the server's.
void SimulatedPanel::start_x_server(const std::string &cookie_mode)
{
	const std::string cookie = dir_.file("cookie");
	write_file(cookie, "MIT-MAGIC-COOKIE-1\n", std::stoi(cookie_mode, nullptr, 8));
	// Another owner than the service's root; the directory lets everyone
	// search it, so that only the cookie's own mode decides.
	if (geteuid() == 0 && chown(cookie.c_str(), 65534, 65534) != 0)
		throw std::runtime_error("cannot chown " + cookie);
	std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
	const sockaddr_un address = socket_address(dir_.file("X0"));
	int input[2];
	const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
	    pipe2(input, O_CLOEXEC) != 0)
		throw std::runtime_error("cannot make the X server's socket");
	x_server_ = fork();
	if (x_server_ == 0) {
		if (listen(fd, x_backlog) == 0 && dup2(input[0], STDIN_FILENO) == STDIN_FILENO)
			execl("/bin/sh", "sh", "-c", "read -r _", "Xorg", ":0", "-auth",
			      cookie.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	close(fd);
	close(input[0]);
	x_server_input_ = input[1];
	// Listening, and no longer the test's own command line but the server's.
	const std::string command_line = "/proc/" + std::to_string(x_server_) + "/cmdline";
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
	while (read_file(command_line).find("-auth") == std::string::npos ||
	       !accepts_connections(dir_.file("X0"))) {
		if (x_server_ < 0 || std::chrono::steady_clock::now() > deadline)
			throw std::runtime_error("the X server did not listen");
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
}

SimulatedPanel::SimulatedPanel(const PanelSetup &setup)
{
	if (setup.framebuffer) {
		write_file(dir_.file("fb"), std::string(setup.framebuffer_bytes, '\0'));
		write_file(dir_.file("fb-geometry"), setup.geometry + "\n");
		if (setup.maps_past_memory)
			write_file(dir_.file("drm-fbdev"), "");
	}
	if (setup.brightness_directory)
		std::filesystem::create_directory(dir_.file("brightness"));
	else if (setup.brightness)
		write_file(dir_.file("brightness"), "5\n");
	write_file(dir_.file("max_brightness"), setup.max_brightness + "\n");
	if (setup.last_sequence_age >= 0) {
		timespec boot{};
		clock_gettime(CLOCK_BOOTTIME, &boot);
		const double dark = double(boot.tv_sec - setup.last_sequence_age);
		const std::string back =
			setup.level_after_sequence == "8" ? std::to_string(dark + 1.5) : "0";
		write_file(dir_.file("backlight-record"), "2 " + std::to_string(dark) + " " +
								  setup.level_after_sequence + " " +
								  back + "\n");
	}
	std::filesystem::create_directory(dir_.file("backlight-class"));
	if (setup.brightness)
		std::filesystem::create_directory(dir_.file("backlight-class/backlight"));
	if (!setup.other_backlight.empty())
		std::filesystem::create_directory(
			dir_.file("backlight-class/" + setup.other_backlight));
	if (!setup.dpms_enabled)
		write_file(dir_.file("dpms-disabled"), "");
	if (!setup.dpms_timeouts.empty())
		write_file(dir_.file("dpms-timeouts"), setup.dpms_timeouts + "\n");
	set_x_reachable(setup.x_reachable);
	if (setup.x_socket)
		x_socket_ = listen_at(dir_.file("X0"));
	if (!setup.x_cookie_mode.empty()) {
		start_x_server(setup.x_cookie_mode);
		write_file(dir_.file("x-cookie"), dir_.file("cookie"));
	}
	if (setup.x_access_list)
		write_file(dir_.file("x-access"), "");
	if (!setup.service_xauthority.empty())
		write_file(dir_.file("service-xauthority"),
			   expand_sim(setup.service_xauthority, dir_.path()));
	write_file(dir_.file("faults"), setup.faults + "\n");
	write_file(dir_.file("events"), "");
	write_file(dir_.file("dpms"), setup.monitor + "\n");
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (!setup.watcher.empty())
		write_file(dir_.file("tavrin.service"),
			   setup.watcher + " " + std::to_string(setup.watcher_restarts) + " " +
				   std::to_string(now.tv_sec - setup.watcher_age_seconds) +
				   "000000\n");
	if (!setup.query_mode.empty())
		set_query_mode(setup.query_mode);
	// The stand-ins are linked into a directory of the simulation's own, so
	// that a test can take one away.
	std::filesystem::create_directory(dir_.file("bin"));
	for (const auto &entry : std::filesystem::directory_iterator(tavrin_stand_ins))
		std::filesystem::create_symlink(
			entry.path(), dir_.file("bin/" + entry.path().filename().string()));
	if (!setup.xset)
		set_xset_installed(false);
}

SimulatedPanel::~SimulatedPanel()
{
	stop_tavrin();
	if (x_socket_ >= 0)
		close(x_socket_);
	if (x_server_ > 0) {
		close(x_server_input_);
		int status;
		while (waitpid(x_server_, &status, 0) == -1 && errno == EINTR)
			;
	}
}

void SimulatedPanel::start_tavrin()
{
	const std::vector<std::string> argv =
		command(dir_.path(), tavrin_executable, "valgrind.log");
	memchecked_ = names_valgrind(argv);
	const std::string output = dir_.file("tavrin-output");
	pid_ = spawn(argv, environment(dir_.path(), tavrin_executable), output, output);
}

CheckRun SimulatedPanel::run_check(const std::vector<std::string> &arguments)
{
	std::vector<std::string> argv =
		command(dir_.path(), tavrin_check_executable, "valgrind-check.log");
	argv.insert(argv.end(), arguments.begin(), arguments.end());
	const std::string out = dir_.file("check-out");
	const std::string err = dir_.file("check-err");
	std::remove(out.c_str());
	std::remove(err.c_str());
	const pid_t pid = spawn(argv, environment(dir_.path(), tavrin_check_executable), out, err);
	int status;
	while (waitpid(pid, &status, 0) == -1 && errno == EINTR)
		;
	if (names_valgrind(argv))
		expect_clean_memcheck_report(dir_.file("valgrind-check.log"));
	return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}

bool SimulatedPanel::tavrin_running()
{
	if (pid_ <= 0)
		return false;
	int status;
	return waitpid(pid_, &status, WNOHANG) == 0;
}

bool SimulatedPanel::stop_tavrin()
{
	if (pid_ <= 0)
		return false;
	const bool was_running = tavrin_running();
	if (was_running && memchecked_) {
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
		while (!between_cycles(pid_) && std::chrono::steady_clock::now() < deadline)
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	kill(pid_, SIGTERM);
	int status;
	while (waitpid(pid_, &status, 0) == -1 && errno == EINTR)
		;
	pid_ = -1;
	if (memchecked_)
		expect_clean_memcheck_report(dir_.file("valgrind.log"));
	return was_running;
}

void SimulatedPanel::set_monitor_on(bool on)
{
	write_file(dir_.file("dpms"), on ? "On\n" : "Off\n");
}

void SimulatedPanel::set_x_reachable(bool reachable)
{
	if (reachable)
		std::remove(dir_.file("x-down").c_str());
	else
		write_file(dir_.file("x-down"), "");
}

void SimulatedPanel::set_query_mode(const std::string &mode)
{
	write_file(dir_.file("xset-mode"), mode);
}

void SimulatedPanel::set_xset_installed(bool installed)
{
	const std::string link = dir_.file("bin/xset");
	if (installed)
		std::filesystem::create_symlink(std::string(tavrin_stand_ins) + "/xset", link);
	else
		std::filesystem::remove(link);
}

std::vector<PanelEvent> SimulatedPanel::events() const
{
	std::vector<PanelEvent> result;
	std::istringstream in(read_file(dir_.file("events")));
	for (std::string line; std::getline(in, line);) {
		const std::size_t space = line.find(' ');
		if (space == std::string::npos)
			continue;
		result.push_back({std::strtod(line.c_str(), nullptr), line.substr(space + 1)});
	}
	return result;
}

int SimulatedPanel::count_events(const std::string &what) const
{
	int count = 0;
	for (const PanelEvent &event : events())
		count += event.what == what;
	return count;
}

bool SimulatedPanel::wait_for(const std::function<bool(const std::vector<PanelEvent> &)> &done,
			      double seconds) const
{
	const auto deadline =
		std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
	while (!done(events())) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return true;
}

bool SimulatedPanel::wait_for_events(const std::string &what, int count, double seconds) const
{
	return wait_for(
		[&](const std::vector<PanelEvent> &events) {
			int seen = 0;
			for (const PanelEvent &event : events)
				seen += event.what == what;
			return seen >= count;
		},
		seconds);
}

std::string SimulatedPanel::tavrin_output() const
{
	return read_file(dir_.file("tavrin-output"));
}

std::string SimulatedPanel::framebuffer() const
{
	return read_file(dir_.file("fb"));
}

std::string SimulatedPanel::brightness() const
{
	return read_file(dir_.file("brightness"));
}
