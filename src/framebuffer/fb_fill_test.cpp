#include "framebuffer/fb_fill.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "scratch_dir.h"

namespace
{

constexpr std::uint8_t untouched = 0x5A;
constexpr std::size_t guard_bytes = 4096;

struct GeometryCase {
	const char *name;
	std::uint32_t xres_virtual;
	std::uint32_t yres;
	std::uint32_t yres_virtual;
	std::uint32_t bits_per_pixel;
	std::uint32_t expected_length;
	std::size_t expected_painted;
	// The driver's smem_len; 0 when it does not say.
	std::size_t memory_length = 0;
};

class FramebufferGeometry : public ::testing::TestWithParam<GeometryCase>
{
};

TEST_P(FramebufferGeometry, PaintsTheRegionClippedToTheMapping)
{
	const GeometryCase &c = GetParam();
	fb_var_screeninfo var{};
	// Narrower than the virtual width, as on a driver with horizontal
	// panning: the rows follow the virtual width.
	var.xres = c.xres_virtual / 2;
	var.xres_virtual = c.xres_virtual;
	var.yres = c.yres;
	var.yres_virtual = c.yres_virtual;
	var.bits_per_pixel = c.bits_per_pixel;

	const std::uint32_t length = framebuffer_map_length(var);
	ASSERT_EQ(length, c.expected_length);

	// The mapping is followed by guard bytes that must survive.
	std::vector<std::uint8_t> memory(length + guard_bytes, untouched);
	EXPECT_EQ(paint_white(memory.data(), length, var, c.memory_length), c.expected_painted);

	std::size_t first_unpainted = 0;
	while (first_unpainted < memory.size() && memory[first_unpainted] == 0xFF)
		++first_unpainted;
	EXPECT_EQ(first_unpainted, c.expected_painted) << "painted bytes form one span from 0";
	for (std::size_t i = c.expected_painted; i < memory.size(); ++i)
		ASSERT_EQ(memory[i], untouched) << "byte " << i << " of " << length;
}

const GeometryCase geometry_cases[] = {
	// 8 rows of 6 bytes inside a 64-byte mapping.
	{"SmallPortrait16Bpp", 3, 4, 4, 16, 64, 48},
	{"SquarePanelFillsTheMapping", 4, 4, 4, 16, 64, 64},
	{"ZeroHeightMapsNothing", 3, 0, 0, 16, 0, 0},
	{"ZeroWidthPaintsNothing", 0, 4, 4, 16, 64, 0},
	{"PanningSpaceIsNotPainted", 3, 4, 12, 16, 64, 48},
	{"DepthChangesTheMappingNotTheRows", 3, 4, 4, 32, 128, 48},
	{"Portrait1080x1920", 1080, 1920, 1920, 16, 14745600, 8294400},
	// The region is 1,536,000 bytes: painting stops at the end of the map.
	{"LandscapeIsClippedToTheMapping", 800, 480, 480, 16, 921600, 921600, 1536000},
	// A single-buffered DRM framebuffer at 16 bpp holds one screen, half the
	// region: its driver grants the longer mapping, and the fill stops at
	// the memory before the first page that would fault.
	{"CutAtTheDevicesMemory", 1024, 768, 768, 16, 2359296, 1572864, 1572864},
	// 2 × 32769² × 16 wraps in 32 bits to 2,097,184 before the division.
	{"WrappedLengthStillBoundsThePaint", 2, 32769, 32769, 16, 262148, 262148},
	{"WrappedLengthAboveTheRegion", 1, 32769, 32769, 16, 262148, 131076},
	// 2 × 8192² × 32 is 2^32: wrapped before the division it is 0, where
	// 64-bit arithmetic cut to 32 bits afterwards would give 536,870,912.
	{"LengthWrapsToZeroBeforeTheDivision", 1, 8192, 8192, 32, 0, 0},
	{"HugeWidthCannotOverflowTheRegion", 0xFFFFFFFFu, 4, 4, 16, 64, 64},
};

INSTANTIATE_TEST_SUITE_P(Geometries, FramebufferGeometry, ::testing::ValuesIn(geometry_cases),
			 [](const auto &info) { return std::string(info.param.name); });

TEST(FramebufferFill, DeviceThatIsNotAFramebufferIsLeftUnpainted)
{
	ScratchDir scratch;
	EXPECT_EQ(fill_framebuffer_white_at(scratch.file("fb0").c_str()), -1);

	// A regular file refuses the geometry query, so nothing may be mapped.
	const std::string plain = scratch.file("plain");
	write_file(plain, std::string(64, '\0'));
	EXPECT_EQ(fill_framebuffer_white_at(plain.c_str()), 0);
	EXPECT_EQ(read_file(plain), std::string(64, '\0'));
}

} // namespace
