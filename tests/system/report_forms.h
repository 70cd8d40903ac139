#pragma once

#include <string>

// tavrin-check's machine forms are read by their consumers' own tools
// (nlohmann-json, promtool, the node exporter with curl), never by a reader
// written beside the printer, which would share the printer's misreading.

struct ToolRun {
	int status;
	// Standard output and standard error, in the order they were written.
	std::string output;
};

// Runs `command` with /bin/sh to its end.
ToolRun run_shell(const std::string &command);

// What `promtool check metrics` says of the exposition in the file at `path`.
ToolRun check_metrics(const std::string &path);
