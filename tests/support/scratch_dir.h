#pragma once

#include <string>

// A fresh directory under TMPDIR for one test, removed with its contents.
// These tests touch the real file system and spawn real shells.
class ScratchDir
{
      public:
	ScratchDir();
	~ScratchDir();
	ScratchDir(const ScratchDir &) = delete;
	ScratchDir &operator=(const ScratchDir &) = delete;

	const std::string &path() const
	{
		return path_;
	}
	std::string file(const std::string &name) const
	{
		return path_ + "/" + name;
	}

      private:
	std::string path_;
};

// Small file helpers shared by the tests; each aborts the test binary on an
// I/O error, since a test that cannot set up its world proves nothing.
void write_file(const std::string &path, const std::string &content, int mode = 0644);
std::string read_file(const std::string &path);
