#include "check/watcher.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "check/check_config.h"
#include "check/command.h"
#include "check/decimal.h"
#include "check/report.h"
#include "check/unit.h"

static constexpr char watcher_item[] = "watcher";
static constexpr long long microseconds_per_second = 1000000;
static constexpr long long nanoseconds_per_microsecond = 1000;

// What systemctl said of the unit.
struct unit_state {
	char load[state_word_size];
	char active[state_word_size];
	char sub[state_word_size];
	long restarts;
	long main_pid;
	long long started_microseconds;
};

// A state the watcher does not run in; a null word matches any.
struct stopped_state {
	const char *load;
	const char *active;
	const char *sub;
	const char *says;
	const char *fix;
};

static constexpr stopped_state stopped_states[] = {
	{"masked", nullptr, nullptr, "masked, so it never starts (dpkg -r leaves it so)",
	 "systemctl unmask tavrin && systemctl enable --now tavrin"},
	{"not-found", nullptr, nullptr, "not installed", "apt install tavrin"},
	{nullptr, "activating", "auto-restart", "dead, and systemd restarts it in a moment",
	 "journalctl -u tavrin says why it dies"},
	{nullptr, "failed", nullptr, "failed",
	 "journalctl -u tavrin says why; then systemctl restart tavrin"},
	{nullptr, "inactive", nullptr, "stopped", "systemctl enable --now tavrin"},
	{nullptr, nullptr, nullptr, "not running", "systemctl status tavrin says why"},
};

static unit_state unit{};

static void copy_property(const char *key, char *out, std::size_t size)
{
	int length = 0;
	const char *value = unit_property(key, &length);
	(void)std::snprintf(out, size, "%.*s", length, value);
}

template <typename Integer> static Integer number_property(const char *key)
{
	int length = 0;
	const char *value = unit_property(key, &length);
	return read_decimal<Integer>(value, value + length);
}

// Returns 1 when systemd answered about the unit.
static int ask_systemd()
{
	const char *answer = nullptr;
	if (ask_unit(&answer) == 0)
		return 0;
	copy_property("LoadState", unit.load, sizeof unit.load);
	copy_property("ActiveState", unit.active, sizeof unit.active);
	copy_property("SubState", unit.sub, sizeof unit.sub);
	unit.restarts = number_property<long>("NRestarts");
	unit.main_pid = number_property<long>("MainPID");
	unit.started_microseconds = number_property<long long>("ExecMainStartTimestampMonotonic");
	return unit.load[0] != '\0' && unit.active[0] != '\0';
}

static int word_matches(const char *pattern, const char *word)
{
	return pattern == nullptr || std::strcmp(pattern, word) == 0;
}

static void report_not_running()
{
	for (const stopped_state &state : stopped_states) {
		if (!word_matches(state.load, unit.load) ||
		    !word_matches(state.active, unit.active) || !word_matches(state.sub, unit.sub))
			continue;
		report(VERDICT_FAIL, watcher_item, "%s is %s (%s/%s/%s, NRestarts=%ld)",
		       watcher_unit, state.says, unit.load, unit.active, unit.sub, unit.restarts);
		report_fix("%s", state.fix);
		note_never_blanks();
		return;
	}
}

// Seconds since the main process started, or -1 when systemd did not say.
static long long main_process_age()
{
	timespec now{};
	if (unit.started_microseconds <= 0 || clock_gettime(CLOCK_MONOTONIC, &now) != 0)
		return -1;
	const long long microseconds =
		now.tv_sec * microseconds_per_second + now.tv_nsec / nanoseconds_per_microsecond;
	return (microseconds - unit.started_microseconds) / microseconds_per_second;
}

// 0 when the path opens read-write through the watcher's root, else the
// error. Closed unwritten, as the check opens its own view.
static int open_in_watcher_view(const char *path, int flags)
{
	char seen[path_buffer_size];
	(void)std::snprintf(seen, sizeof seen, watcher_view_format, unit.main_pid, path);
	const int fd = open(seen, flags | O_CLOEXEC);
	if (fd < 0)
		return errno;
	close(fd);
	return 0;
}

// Appends "path (error)" for a device the watcher cannot reach. Returns 1
// when it cannot.
static int note_unreachable(const char *path, char *list, std::size_t size)
{
	const int error = open_in_watcher_view(path, O_RDWR);
	if (error == 0)
		return 0;
	const std::size_t used = std::strlen(list);
	(void)std::snprintf(list + used, size - used, "%s%s (%s)", used > 0 ? ", " : "", path,
			    std::strerror(error));
	return 1;
}

static void report_watcher_view(unsigned reached)
{
	const int hidden = open_in_watcher_view("/", O_RDONLY | O_DIRECTORY);
	if (hidden != 0) {
		report(VERDICT_WARN, watcher_item,
		       "%s runs as PID %ld; what its sandbox reaches cannot be seen here: %s",
		       watcher_unit, unit.main_pid, std::strerror(hidden));
		return;
	}
	char unreachable[report_line_size] = {};
	unsigned steps = 0;
	if ((reached & STEP_BACKLIGHT_OFF) != 0 &&
	    note_unreachable(brightness_file, unreachable, sizeof unreachable))
		steps |= STEP_BACKLIGHT_OFF | STEP_BACKLIGHT_ON;
	if ((reached & STEP_FILL) != 0 &&
	    note_unreachable(framebuffer_device, unreachable, sizeof unreachable))
		steps |= STEP_FILL;
	if (steps == 0) {
		report(VERDICT_OK, watcher_item, "%s runs as PID %ld", watcher_unit, unit.main_pid);
		return;
	}
	report(VERDICT_FAIL, watcher_item,
	       "%s runs as PID %ld in a sandbox made before a device appeared: it cannot open %s",
	       watcher_unit, unit.main_pid, unreachable);
	report_fix("systemctl restart tavrin: its sandbox takes the devices there are then");
	skip_steps(steps);
}

void check_watcher(unsigned reached)
{
	if (ask_systemd() == 0) {
		const char *said = nullptr;
		(void)ask_unit(&said);
		const char *why = said[0] != '\0' ? said : "systemctl show failed";
		report(VERDICT_WARN, watcher_item,
		       "cannot ask systemd whether %s runs (%.*s): this report speaks for the "
		       "panel alone",
		       watcher_unit, static_cast<int>(std::strcspn(why, "\n")), why);
		return;
	}
	if (std::strcmp(unit.load, "loaded") != 0 || std::strcmp(unit.active, "active") != 0 ||
	    std::strcmp(unit.sub, "running") != 0 || unit.main_pid <= 0) {
		report_not_running();
		return;
	}
	const long long age = main_process_age();
	if (unit.restarts > 0 && age >= 0 && age < watcher_settled_seconds) {
		report(VERDICT_FAIL, watcher_item,
		       "%s keeps dying: systemd has restarted it %ld times, and its process (PID "
		       "%ld) started less than %ld s ago",
		       watcher_unit, unit.restarts, unit.main_pid, watcher_settled_seconds);
		report_fix("journalctl -u tavrin says why it dies");
		note_never_blanks();
		return;
	}
	report_watcher_view(reached);
}
