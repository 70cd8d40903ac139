#include "scratch_dir.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>

ScratchDir::ScratchDir()
{
	const char *tmp = std::getenv("TMPDIR");
	std::string pattern =
		std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tavrin-test-XXXXXX";
	if (mkdtemp(pattern.data()) == nullptr)
		throw std::runtime_error("mkdtemp failed for " + pattern);
	path_ = pattern;
}

ScratchDir::~ScratchDir()
{
	const std::string command = "rm -rf '" + path_ + "'";
	if (std::system(command.c_str()) != 0)
		std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

void write_file(const std::string &path, const std::string &content, int mode)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << content;
	out.close();
	if (!out || chmod(path.c_str(), static_cast<mode_t>(mode)) != 0)
		throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream content;
	content << in.rdbuf();
	return content.str();
}
