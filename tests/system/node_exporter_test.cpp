#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "report_forms.h"
#include "simulated_panel.h"

extern char **environ;

namespace
{

constexpr char exporter_program[] = "prometheus-node-exporter";

std::string find_exporter()
{
	const char *path = std::getenv("PATH");
	std::istringstream dirs(std::string(path != nullptr ? path : "") + ":/usr/bin");
	for (std::string dir; std::getline(dirs, dir, ':');) {
		const std::string candidate = dir + "/" + exporter_program;
		if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
			return candidate;
	}
	return "";
}

// A port nobody listens on right now; the exporter binds it a moment later.
int free_loopback_port()
{
	const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t length = sizeof address;
	const bool bound = fd >= 0 &&
			   bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
			   getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
	if (fd >= 0)
		close(fd);
	return bound ? ntohs(address.sin_port) : -1;
}

// The whole answer to GET `path`, or "" while nothing answers.
std::string http_get(int port, const std::string &path)
{
	const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return "";
	const timeval limit{5, 0};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(static_cast<std::uint16_t>(port));
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	std::string answer;
	if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
		const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
		if (write(fd, request.data(), request.size()) == ssize_t(request.size())) {
			char buffer[65536];
			for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
				answer.append(buffer, std::size_t(n));
		}
	}
	close(fd);
	return answer;
}

// The exporter as a child of the test, stopped whatever way the test ends.
class Exporter
{
      public:
	Exporter(const std::string &program, const std::string &textfiles, int port,
		 const std::string &log)
	{
		std::vector<std::string> words = {
			program,
			"--collector.disable-defaults",
			"--collector.textfile",
			"--collector.textfile.directory=" + textfiles,
			"--web.listen-address=127.0.0.1:" + std::to_string(port),
		};
		std::vector<char *> argv;
		for (std::string &word : words)
			argv.push_back(word.data());
		argv.push_back(nullptr);
		posix_spawn_file_actions_t actions;
		posix_spawn_file_actions_init(&actions);
		posix_spawn_file_actions_addopen(&actions, 1, log.c_str(),
						 O_WRONLY | O_CREAT | O_APPEND, 0644);
		posix_spawn_file_actions_adddup2(&actions, 1, 2);
		if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
			pid_ = -1;
		posix_spawn_file_actions_destroy(&actions);
	}

	~Exporter()
	{
		if (pid_ <= 0)
			return;
		kill(pid_, SIGTERM);
		int status;
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
		while (waitpid(pid_, &status, WNOHANG) == 0) {
			if (std::chrono::steady_clock::now() > deadline) {
				kill(pid_, SIGKILL);
				waitpid(pid_, &status, 0);
				break;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
		}
	}

	Exporter(const Exporter &) = delete;
	Exporter &operator=(const Exporter &) = delete;

	bool started() const
	{
		return pid_ > 0;
	}

      private:
	pid_t pid_ = -1;
};

using Series = std::tuple<std::string, std::map<std::string, std::string>, double>;

std::set<Series> tavrin_series(const std::vector<Sample> &samples)
{
	std::set<Series> series;
	for (const Sample &sample : samples)
		if (sample.metric.rfind("tavrin_", 0) == 0)
			series.emplace(sample.metric, sample.labels, sample.value);
	return series;
}

// A panel where step 6 cannot run, so that the gauges carry both values.
TEST(NodeExporter, ServesTheCheckGaugesFromItsTextfileDirectory)
{
	const std::string program = find_exporter();
	if (program.empty())
		GTEST_SKIP() << exporter_program << " is not installed";
	SimulatedPanel panel({.max_brightness = "1"});
	const CheckRun run = panel.run_check({"--prometheus"});
	ASSERT_EQ(run.status, 1) << run.out << run.err;
	const std::string textfiles = panel.dir().file("textfiles");
	ASSERT_EQ(mkdir(textfiles.c_str(), 0755), 0);
	write_file(textfiles + "/tavrin.prom", run.out);
	const std::set<Series> written = tavrin_series(parse_exposition(run.out));

	const int port = free_loopback_port();
	ASSERT_GT(port, 0);
	const std::string log = panel.dir().file("exporter.log");
	const Exporter exporter(program, textfiles, port, log);
	ASSERT_TRUE(exporter.started());
	std::string answer;
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
	while ((answer = http_get(port, "/metrics")).empty() &&
	       std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
	ASSERT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << answer << read_file(log);
	const std::size_t body = answer.find("\r\n\r\n");
	ASSERT_NE(body, std::string::npos);
	std::vector<Sample> scraped;
	ASSERT_NO_THROW(scraped = parse_exposition(answer.substr(body + 4))) << answer;

	EXPECT_EQ(tavrin_series(scraped), written);
	int scrape_errors = -1;
	bool file_seen = false;
	for (const Sample &sample : scraped) {
		if (sample.metric == "node_textfile_scrape_error")
			scrape_errors = int(sample.value);
		if (sample.metric == "node_textfile_mtime_seconds" &&
		    sample.labels.count("file") != 0 &&
		    sample.labels.at("file").find("tavrin.prom") != std::string::npos)
			file_seen = true;
	}
	EXPECT_EQ(scrape_errors, 0) << read_file(log);
	EXPECT_TRUE(file_seen);
	std::istringstream lines(answer.substr(body + 4));
	for (std::string line; std::getline(lines, line);)
		if (line.rfind("tavrin_", 0) == 0 ||
		    line.rfind("node_textfile_scrape_error", 0) == 0)
			std::printf("scraped: %s\n", line.c_str());
}

} // namespace
