#include "check/command.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check/check_config.h"

static constexpr long milliseconds_per_second = 1000;
static constexpr long nanoseconds_per_millisecond = 1000000;

// posix_spawn takes writable strings.
static char shell_name[] = "sh";
static char shell_flag[] = "-c";
static char shell_command[command_line_size];
// Output past the caller's buffer is read into this and dropped, so that a
// long answer cannot stall the command on a full pipe.
static char overflow[command_read_size];

static long milliseconds_until(const timespec &deadline)
{
	timespec now{};
	(void)clock_gettime(CLOCK_MONOTONIC, &now);
	return (deadline.tv_sec - now.tv_sec) * milliseconds_per_second +
	       (deadline.tv_nsec - now.tv_nsec) / nanoseconds_per_millisecond;
}

// In a process group of its own, so that on the deadline the shell goes
// with everything it started: killing the shell alone would leave an xset
// stuck on the X server behind.
static pid_t start_shell(const char *command, int output)
{
	(void)std::snprintf(shell_command, sizeof shell_command, "%s", command);
	char *const argv[] = {shell_name, shell_flag, shell_command, nullptr};
	posix_spawn_file_actions_t actions;
	posix_spawnattr_t attributes;
	pid_t pid = -1;
	if (posix_spawn_file_actions_init(&actions) != 0)
		return -1;
	if (posix_spawnattr_init(&attributes) == 0) {
		if (posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO) == 0 &&
		    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP) == 0 &&
		    posix_spawnattr_setpgroup(&attributes, 0) == 0 &&
		    posix_spawn(&pid, shell_path, &actions, &attributes, argv, environ) != 0)
			pid = -1;
		(void)posix_spawnattr_destroy(&attributes);
	}
	(void)posix_spawn_file_actions_destroy(&actions);
	return pid;
}

// Reads to the end of the output. Returns 0 if the deadline came first.
static int read_output(int fd, const timespec &deadline, char *out, std::size_t size,
		       std::size_t *length)
{
	for (;;) {
		const long left = milliseconds_until(deadline);
		pollfd ready{fd, POLLIN, 0};
		const int polled = left > 0 ? poll(&ready, 1, static_cast<int>(left)) : 0;
		if (polled == 0)
			return 0;
		if (polled < 0 && errno == EINTR)
			continue;
		const std::size_t room = size - 1 - *length;
		char *into = room > 0 ? out + *length : overflow;
		const ssize_t n =
			polled < 0 ? 0 : read(fd, into, room > 0 ? room : sizeof overflow);
		if (n == 0 || (n < 0 && errno != EINTR))
			return 1;
		if (n > 0 && into != overflow)
			*length += static_cast<std::size_t>(n);
	}
}

// Waits for the shell until the deadline, then kills its whole group: a
// command that closed its output need not have ended. Returns 1 when it
// ended in time.
static int reap(pid_t pid, const timespec &deadline, int *status)
{
	static constexpr timespec pause{0, reap_pause_nanoseconds};
	for (;;) {
		const pid_t done = waitpid(pid, status, WNOHANG);
		if (done == pid || (done < 0 && errno != EINTR))
			return 1;
		if (milliseconds_until(deadline) <= 0)
			break;
		(void)nanosleep(&pause, nullptr);
	}
	(void)kill(-pid, SIGKILL);
	while (waitpid(pid, status, 0) < 0 && errno == EINTR)
		;
	return 0;
}

int run_command(const char *command, long seconds, char *out, std::size_t size, std::size_t *length)
{
	*length = 0;
	out[0] = '\0';
	int pipe_fds[2];
	if (pipe2(pipe_fds, O_CLOEXEC) != 0)
		return COMMAND_FAILED;
	timespec deadline{};
	(void)clock_gettime(CLOCK_MONOTONIC, &deadline);
	deadline.tv_sec += seconds;
	const pid_t pid = start_shell(command, pipe_fds[1]);
	close(pipe_fds[1]);
	if (pid < 0) {
		close(pipe_fds[0]);
		return COMMAND_FAILED;
	}
	const int read_all = read_output(pipe_fds[0], deadline, out, size, length);
	close(pipe_fds[0]);
	out[*length] = '\0';
	int status = -1;
	if (reap(pid, deadline, &status) == 0 || read_all == 0)
		return COMMAND_TIMED_OUT;
	return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? COMMAND_SUCCEEDED : COMMAND_FAILED;
}
