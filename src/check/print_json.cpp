#include <cstdio>

#include "check/check_config.h"
#include "check/print.h"

// Length of the UTF-8 sequence that starts at `s`, or 0 where none does
// (overlong forms, surrogates and code points past U+10FFFF included). A
// detail can quote any bytes: a device name, a PATH entry, X's own output,
// or a sequence cut short by the table's size.
static int utf8_length(const unsigned char *s)
{
	static constexpr unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
	int length = 0;
	unsigned code = 0;
	if (s[0] < 0x80)
		return 1;
	if ((s[0] & 0xe0) == 0xc0) {
		length = 2;
		code = s[0] & 0x1fu;
	} else if ((s[0] & 0xf0) == 0xe0) {
		length = 3;
		code = s[0] & 0x0fu;
	} else if ((s[0] & 0xf8) == 0xf0) {
		length = 4;
		code = s[0] & 0x07u;
	} else {
		return 0;
	}
	// The terminating NUL is no continuation byte, so this stops at it.
	for (int i = 1; i < length; ++i) {
		if ((s[i] & 0xc0) != 0x80)
			return 0;
		code = code << 6 | (s[i] & 0x3fu);
	}
	if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
		return 0;
	return length;
}

// A JSON string: the escapes JSON requires, and U+FFFD for each byte that
// is not part of valid UTF-8, so that any parser takes the document.
static void print_string(const char *text)
{
	(void)std::putchar('"');
	for (const auto *s = reinterpret_cast<const unsigned char *>(text); *s != '\0';) {
		const int length = utf8_length(s);
		if (length == 0) {
			(void)std::fputs("\\ufffd", stdout);
			++s;
		} else if (*s == '"' || *s == '\\') {
			std::printf("\\%c", *s++);
		} else if (*s < 0x20) {
			std::printf("\\u%04x", *s++);
		} else {
			(void)std::fwrite(s, 1, static_cast<std::size_t>(length), stdout);
			s += length;
		}
	}
	(void)std::putchar('"');
}

static void print_item(const item &entry, int last)
{
	(void)std::fputs("    {\"name\": ", stdout);
	print_string(entry.name);
	std::printf(", \"verdict\": \"%s\", \"detail\": ", verdict_words[entry.verdict]);
	print_string(entry.detail);
	(void)std::fputs(", \"fix\": ", stdout);
	if (entry.fix[0] != '\0')
		print_string(entry.fix);
	else
		(void)std::fputs("null", stdout);
	std::puts(last ? "}" : "},");
}

void print_json(const findings &found, int status)
{
	std::printf("{\n  \"version\": \"%s\",\n  \"items\": [\n", check_version);
	for (std::size_t i = 0; i < found.count; ++i)
		print_item(found.items[i], i + 1 == found.count);
	std::puts("  ],\n  \"steps\": [");
	for (int i = 0; i < step_count; ++i)
		std::printf("    {\"step\": %d, \"name\": \"%s\", \"runs\": %s}%s\n", i + 1,
			    step_names[i], step_runs(found, i) ? "true" : "false",
			    i + 1 == step_count ? "" : ",");
	const sequence_record &sequences = found.sequences;
	std::printf("  ],\n  \"sequences\": {\"since_boot\": %lld, \"last\": ",
		    sequences.since_boot);
	if (sequences.since_boot > 0)
		std::printf("%lld, \"backlight_restored\": %s}", sequences.last_at,
			    sequences.left_dark != 0 ? "false" : "true");
	else
		(void)std::fputs("null, \"backlight_restored\": null}", stdout);
	std::printf(",\n  \"blanks\": %s,\n  \"exit_status\": %d\n}\n",
		    found.never_blanks != 0 ? "false" : "true", status);
}
