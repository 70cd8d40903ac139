// Arbitrary geometry and memory size as a driver might report them: the
// mapping length follows the wrapping formula, and painting stays inside a
// buffer of exactly the mapping's or the memory's length, whichever is
// shorter (ASan poisons the byte after it), as one span from offset 0 that is
// as long as the region, the mapping or the memory, whichever is shortest.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "framebuffer/fb_fill.h"

namespace
{

// Larger mappings only cost time: every field still takes any value, and
// wrapped lengths land below this often enough.
constexpr std::uint32_t longest_mapping = 4u << 20;

constexpr std::uint8_t untouched = 0x5A;

// Compared with memcmp, which ASan checks once per range rather than per byte.
std::uint8_t all_white[longest_mapping];
std::uint8_t all_untouched[longest_mapping];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	fb_var_screeninfo var{};
	std::memcpy(&var, data, std::min(size, sizeof var));
	// smem_len follows the variable info; a short input leaves it 0, unknown.
	std::uint32_t memory_length = 0;
	if (size > sizeof var)
		std::memcpy(&memory_length, data + sizeof var,
			    std::min(size - sizeof var, sizeof memory_length));

	const std::uint32_t length = framebuffer_map_length(var);
	const std::uint64_t product = 2ull * var.yres * var.yres * var.bits_per_pixel;
	if (length != static_cast<std::uint32_t>(product) / 8u)
		std::abort();
	if (length > longest_mapping)
		return 0;
	if (all_white[0] == 0) {
		std::memset(all_white, 0xFF, sizeof all_white);
		std::memset(all_untouched, untouched, sizeof all_untouched);
	}

	// Only the bytes that have memory behind them exist.
	const std::uint32_t backed = memory_length != 0 ? std::min(length, memory_length) : length;
	auto *map = static_cast<std::uint8_t *>(std::malloc(backed));
	if (map == nullptr && backed != 0)
		std::abort();
	std::memset(map, untouched, backed);
	const std::size_t painted = paint_white(map, length, var, memory_length);

	const unsigned __int128 row_bytes = 2u * static_cast<unsigned __int128>(var.xres_virtual);
	const unsigned __int128 region = row_bytes * 2u * var.yres;
	if (painted != std::min<unsigned __int128>(region, backed))
		std::abort();
	if (std::memcmp(map, all_white, painted) != 0 ||
	    std::memcmp(map + painted, all_untouched, backed - painted) != 0)
		std::abort();
	std::free(map);
	return 0;
}
