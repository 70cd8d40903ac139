// Arbitrary bytes as the output of the DPMS query, read through a real stdio
// stream by the same scanning code, against a model written from the rules
// rather than from that code: the output arrives in pieces of at most 1023
// bytes, each ending at the first newline; a piece is a C string, so a NUL
// byte ends it early; the first piece holding "Monitor is On" reads 1, the
// first holding "Monitor is Off" reads 0 (on wins within one piece), and
// output with neither reads 0.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "watch/dpms_query.h"

namespace
{

constexpr std::size_t longest_piece = 1023;

int expected_reading(std::string_view output, std::string_view &last_piece)
{
	std::size_t start = 0;
	while (start < output.size()) {
		std::size_t end = start;
		while (end < output.size() && end - start < longest_piece)
			if (output[end++] == '\n')
				break;
		std::string_view piece = output.substr(start, end - start);
		piece = piece.substr(0, piece.find('\0'));
		last_piece = piece;
		if (piece.find("Monitor is On") != std::string_view::npos)
			return 1;
		if (piece.find("Monitor is Off") != std::string_view::npos)
			return 0;
		start = end;
	}
	return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	// fmemopen only reads through the pointer; it takes no const one.
	std::FILE *stream = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
	if (stream == nullptr)
		std::abort();
	line_buffer[0] = '\0';
	const int reading = scan_monitor_lines(stream);
	if (std::fclose(stream) != 0)
		std::abort();

	std::string_view last_piece;
	const std::string_view output(reinterpret_cast<const char *>(data), size);
	if (reading != expected_reading(output, last_piece))
		std::abort();
	// Where the scan stopped tells whether it read exactly as far as the rules say.
	if (std::string_view(line_buffer) != last_piece)
		std::abort();
	return 0;
}
