#include "watch/blanking.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "scratch_dir.h"

namespace
{

TEST(WriteBrightness, OverwritesTheFirstByteOnly)
{
	ScratchDir scratch;
	const std::string file = scratch.file("brightness");
	write_file(file, "255\n");

	EXPECT_EQ(write_brightness(file.c_str(), '0'), 0);
	EXPECT_EQ(read_file(file), "055\n") << "no newline, no truncation";
	EXPECT_EQ(write_brightness(file.c_str(), '8'), 0);
	EXPECT_EQ(read_file(file), "855\n");
}

TEST(WriteBrightness, MissingOrUnwritableTargetIsLeftAlone)
{
	ScratchDir scratch;
	const std::string missing = scratch.file("absent");
	EXPECT_EQ(write_brightness(missing.c_str(), '0'), -1);
	struct stat st;
	EXPECT_NE(stat(missing.c_str(), &st), 0) << "the attribute must never be created";

	EXPECT_EQ(write_brightness(scratch.path().c_str(), '0'), -1) << "a directory";
}

} // namespace
