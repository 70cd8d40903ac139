#include "check/backlight.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "check/check_config.h"
#include "check/decimal.h"
#include "check/report.h"

// The names the backlight class does have, for when tavrin's is missing.
static void list_backlights(char *out, std::size_t size)
{
	(void)std::snprintf(out, size, "none");
	DIR *dir = opendir(backlight_class_dir);
	if (dir == nullptr)
		return;
	std::size_t used = 0;
	// readdir_r is deprecated, and the check has one thread.
	// cppcheck-suppress readdirCalled
	for (const dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
		if (entry->d_name[0] == '.' || used >= size)
			continue;
		const int n = std::snprintf(out + used, size - used, "%s%s", used > 0 ? ", " : "",
					    entry->d_name);
		if (n > 0)
			used += static_cast<std::size_t>(n);
	}
	closedir(dir);
}

// Opened read-write and closed unwritten, exactly as tavrin opens it: that
// sees what access(W_OK) misses for root (a read-only /sys, an attribute
// that is a directory), and sysfs acts only on a write, so the panel keeps
// its level.
static int open_as_tavrin_does()
{
	const int fd = open(brightness_file, O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return errno;
	close(fd);
	return 0;
}

static int report_attribute()
{
	const int error = open_as_tavrin_does();
	if (error == 0) {
		report(VERDICT_OK, "backlight", "%s writable", brightness_file);
		return 1;
	}
	if (error == ENOENT) {
		char names[report_line_size / 2];
		list_backlights(names, sizeof names);
		report(VERDICT_FAIL, "backlight", "no %s; devices here: %s", brightness_file,
		       names);
		report_fix("tavrin writes only that path: a driver under another name is not used");
	} else {
		report(VERDICT_FAIL, "backlight", "%s not writable: %s", brightness_file,
		       std::strerror(error));
		report_fix("run tavrin as root, or see Permissions in the README");
	}
	skip_steps(STEP_BACKLIGHT_OFF | STEP_BACKLIGHT_ON);
	return 0;
}

// The attribute's value, or -1.
static long read_max_brightness()
{
	char text[number_text_size] = {};
	const int fd = open(max_brightness_file, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	const ssize_t length = read(fd, text, sizeof text - 1);
	close(fd);
	if (length <= 0)
		return -1;
	const char *end = nullptr;
	const long value = read_decimal<long>(text, text + length, &end);
	return end != text ? value : -1;
}

static void report_max_brightness()
{
	const long on_level = backlight_on_level - '0';
	const long max = read_max_brightness();
	if (max < 0) {
		report(VERDICT_WARN, "max_brightness", "unreadable, so level 8 may be refused");
	} else if (max < on_level) {
		report(VERDICT_FAIL, "max_brightness",
		       "%ld, below %ld: the driver refuses level %c and the panel stays dark "
		       "after one blanking",
		       max, on_level, backlight_on_level);
		skip_steps(STEP_BACKLIGHT_ON);
	} else {
		report(VERDICT_OK, "max_brightness", "%ld (tavrin writes %c and %c)", max,
		       backlight_off_level, backlight_on_level);
	}
}

int check_backlight()
{
	if (report_attribute() == 0) {
		report_unchecked("max_brightness", "the brightness attribute does not open");
		return 0;
	}
	report_max_brightness();
	return 1;
}
