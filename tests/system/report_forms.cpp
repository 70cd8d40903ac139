#include "report_forms.h"

#include <cstdio>
#include <stdexcept>

#include <sys/wait.h>

#include "system_paths.h"

ToolRun run_shell(const std::string &command)
{
	FILE *pipe = popen(("exec 2>&1; " + command).c_str(), "r");
	if (pipe == nullptr)
		throw std::runtime_error("cannot run " + command);
	std::string output;
	char buffer[4096];
	for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
		output.append(buffer, n);
	const int status = pclose(pipe);
	return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

ToolRun check_metrics(const std::string &path)
{
	return run_shell(std::string(tavrin_promtool) + " check metrics < '" + path + "'");
}
