#include "check/unit.h"

#include <cstring>

#include "check/check_config.h"
#include "check/command.h"

static char unit_output[unit_output_size];
static int asked = 0;
static int answered = 0;

int ask_unit(const char **text)
{
	if (asked == 0) {
		std::size_t length = 0;
		answered = run_command(unit_query_command, systemd_time_limit_seconds, unit_output,
				       sizeof unit_output, &length) == COMMAND_SUCCEEDED;
		asked = 1;
	}
	*text = unit_output;
	return answered;
}

const char *unit_property(const char *key, int *length)
{
	const std::size_t key_length = std::strlen(key);
	*length = 0;
	if (answered == 0)
		return "";
	for (const char *line = unit_output; *line != '\0';) {
		const std::size_t line_length = std::strcspn(line, "\n");
		if (line_length > key_length && std::strncmp(line, key, key_length) == 0 &&
		    line[key_length] == '=') {
			*length = static_cast<int>(line_length - key_length - 1);
			return line + key_length + 1;
		}
		line += line_length + (line[line_length] != '\0' ? 1 : 0);
	}
	return "";
}
