#include "check/record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "check/check_config.h"
#include "check/decimal.h"
#include "check/report.h"

static constexpr char record_item[] = "last sequence";
static constexpr long long hundredths_per_second = 100;
static constexpr long nanoseconds_per_hundredth = 10000000;

struct record_line {
	long long sequences;
	long long dark;
	long long level;
	long long back;
};

static char record_text[record_size];

static const char *skip_blanks(const char *at)
{
	while (*at == ' ')
		++at;
	return at;
}

// "1234.56", /proc/uptime's form, in hundredths of a second; -1 where no
// time starts.
static long long read_hundredths(const char **at)
{
	const char *start = skip_blanks(*at);
	const char *end = nullptr;
	const long long whole =
		read_decimal<long long>(start, start + std::strcspn(start, " \n"), &end);
	if (end == start || whole < 0)
		return -1;
	long long hundredths = 0;
	if (*end == '.') {
		++end;
		for (int digit = 0; digit < 2; ++digit) {
			hundredths *= 10;
			if (*end >= '0' && *end <= '9')
				hundredths += *end++ - '0';
		}
		while (*end >= '0' && *end <= '9')
			++end;
	}
	*at = end;
	return whole * hundredths_per_second + hundredths;
}

static long long read_integer(const char **at)
{
	const char *start = skip_blanks(*at);
	const char *end = nullptr;
	const long long value =
		read_decimal<long long>(start, start + std::strcspn(start, " \n"), &end);
	*at = end;
	return end == start ? -1 : value;
}

// 0, or the error that kept the record from being read; ENODATA for a
// record that is not four fields.
static int read_record(record_line *line)
{
	const int fd = open(backlight_record_file, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return errno;
	const ssize_t n = read(fd, record_text, sizeof record_text - 1);
	const int error = n < 0 ? errno : 0;
	close(fd);
	if (error != 0)
		return error;
	record_text[n] = '\0';
	const char *at = record_text;
	line->sequences = read_integer(&at);
	line->dark = read_hundredths(&at);
	line->level = read_integer(&at);
	line->back = read_hundredths(&at);
	const int whole =
		line->sequences >= 0 && line->dark >= 0 && line->level >= 0 && line->back >= 0;
	return whole ? 0 : ENODATA;
}

static long long now_hundredths(clockid_t clock)
{
	timespec now{};
	(void)clock_gettime(clock, &now);
	return now.tv_sec * hundredths_per_second + now.tv_nsec / nanoseconds_per_hundredth;
}

// When the system booted, in seconds since the epoch: the kernel's own
// figure (btime in /proc/stat), the same for every reader, or where a
// sandbox hides it, what the clocks say now.
static long long boot_time()
{
	std::FILE *stat = std::fopen(kernel_stat_file, "re");
	long long booted = -1;
	char line[report_line_size];
	// Long lines (intr) come in pieces; only a line's first piece is looked at.
	for (int line_start = 1;
	     stat != nullptr && booted < 0 && std::fgets(line, sizeof line, stat) != nullptr;) {
		const std::size_t length = std::strlen(line);
		if (line_start &&
		    std::strncmp(line, boot_time_label, sizeof boot_time_label - 1) == 0)
			booted = read_decimal<long long>(line + sizeof boot_time_label - 1,
							 line + length);
		line_start = length > 0 && line[length - 1] == '\n';
	}
	if (stat != nullptr)
		(void)std::fclose(stat);
	if (booted >= 0)
		return booted;
	return (now_hundredths(CLOCK_REALTIME) - now_hundredths(CLOCK_BOOTTIME)) /
	       hundredths_per_second;
}

// "2026-12-11 14:02:03 UTC"
static void format_time(long long seconds, char *out, std::size_t size)
{
	const std::time_t at = static_cast<std::time_t>(seconds);
	std::tm broken{};
	if (gmtime_r(&at, &broken) == nullptr ||
	    std::strftime(out, size, "%Y-%m-%d %H:%M:%S UTC", &broken) == 0)
		(void)std::snprintf(out, size, "%lld s after the epoch", seconds);
}

// `when` the last sequence began, `ago` how long ago in hundredths.
static void report_last(const record_line &line, const char *when, long long ago)
{
	if (line.back > 0) {
		const long long took = line.back - line.dark;
		report(VERDICT_OK, record_item,
		       "%lld since boot; the last at %s, back at level 8 %lld.%02lld s later",
		       line.sequences, when, took / hundredths_per_second,
		       took % hundredths_per_second);
	} else if (line.level != 0) {
		report(VERDICT_WARN, record_item,
		       "%lld since boot; the last at %s, after which the level went to %lld, not 8",
		       line.sequences, when, line.level);
	} else if (ago < sequence_settle_seconds * hundredths_per_second) {
		report(VERDICT_OK, record_item, "%lld since boot; the last began at %s",
		       line.sequences, when);
	} else {
		report(VERDICT_FAIL, record_item,
		       "%lld since boot; the backlight has stayed at level 0 since the last, at "
		       "%s: "
		       "the driver refused level 8",
		       line.sequences, when);
		report_fix("see the max_brightness line; printf 8 >%s lights the panel again",
			   brightness_file);
	}
}

void check_record()
{
	record_line line{};
	const int error = read_record(&line);
	if (error == ENOENT || (error == 0 && line.sequences == 0)) {
		report(VERDICT_OK, record_item, "none since boot");
		return;
	}
	if (error != 0) {
		report(VERDICT_WARN, record_item, "%s cannot be read: %s", backlight_record_file,
		       std::strerror(error));
		return;
	}
	const long long at = boot_time() + line.dark / hundredths_per_second;
	note_sequences({line.sequences, at, line.back > 0 ? 0 : 1});
	char when[report_line_size / 4];
	format_time(at, when, sizeof when);
	report_last(line, when, now_hundredths(CLOCK_BOOTTIME) - line.dark);
}
