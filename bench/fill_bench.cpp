// Prints how long paint_white takes for a 1080 × 1920 portrait panel at
// 16 bpp against one memset of the same bytes, both on a MAP_SHARED mapping
// of a file the size tavrin would map, so page-cache costs are alike.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "framebuffer/fb_fill.h"

namespace
{

constexpr int rounds = 200;

double seconds_since(std::chrono::steady_clock::time_point start)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> samples)
{
	std::sort(samples.begin(), samples.end());
	return samples[samples.size() / 2];
}

} // namespace

int main()
{
	fb_var_screeninfo var{};
	var.xres = var.xres_virtual = 1080;
	var.yres = var.yres_virtual = 1920;
	var.bits_per_pixel = 16;
	const std::size_t length = framebuffer_map_length(var);
	const std::size_t region = 4u * var.yres * var.xres_virtual;

	const char *dir = std::getenv("TMPDIR");
	std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/tavrin-fill-bench-XXXXXX";
	const int fd = mkstemp(path.data());
	if (fd < 0 || ftruncate(fd, static_cast<off_t>(length)) != 0) {
		std::perror("scratch file");
		return 1;
	}
	unlink(path.c_str());
	void *map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (map == MAP_FAILED) {
		std::perror("mmap");
		close(fd);
		return 1;
	}
	auto *bytes = static_cast<std::uint8_t *>(map);

	std::vector<double> fill_times;
	std::vector<double> memset_times;
	std::size_t painted = 0;
	// Alternate the two so that drift on the machine hits both alike.
	for (int round = 0; round < rounds; ++round) {
		std::memset(bytes, 0, length);
		auto start = std::chrono::steady_clock::now();
		// The scratch file is the device's memory, as long as the mapping.
		painted = paint_white(bytes, length, var, length);
		fill_times.push_back(seconds_since(start));

		std::memset(bytes, 0, length);
		start = std::chrono::steady_clock::now();
		std::memset(bytes, 0xFF, region);
		memset_times.push_back(seconds_since(start));
	}
	munmap(map, length);
	close(fd);

	const double fill = median(fill_times);
	const double plain = median(memset_times);
	std::printf("mapping %zu bytes, region %zu bytes, painted %zu bytes, %d rounds\n", length,
		    region, painted, rounds);
	std::printf("fill   median %.1f us (%.2f GB/s)\n", fill * 1e6, painted / fill / 1e9);
	std::printf("memset median %.1f us (%.2f GB/s)\n", plain * 1e6, region / plain / 1e9);
	std::printf("ratio fill/memset %.3f\n", fill / plain);
	return painted == region ? 0 : 1;
}
