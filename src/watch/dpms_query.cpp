#include "watch/dpms_query.h"

#include <cstring>

char command_buffer[command_buffer_size];
char line_buffer[line_buffer_size];

int scan_monitor_lines(std::FILE *stream)
{
	while (std::fgets(line_buffer, sizeof line_buffer, stream) != nullptr) {
		// On is tested first, so a line that carries both phrases reads as on.
		if (std::strstr(line_buffer, monitor_on_phrase) != nullptr)
			return 1;
		if (std::strstr(line_buffer, monitor_off_phrase) != nullptr)
			return 0;
	}
	return 0;
}

int query_monitor_on()
{
	static_assert(sizeof dpms_query_command <= sizeof command_buffer);
	std::memcpy(command_buffer, dpms_query_command, sizeof dpms_query_command);

	std::FILE *stream = popen(command_buffer, "r");
	if (stream == nullptr)
		return 0;
	const int on = scan_monitor_lines(stream);
	// pclose reaps the shell even when the output was left unread: closing our
	// end makes a still-writing xset fail its write instead of blocking.
	pclose(stream);
	return on;
}
