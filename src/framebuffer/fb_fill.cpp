#include "framebuffer/fb_fill.h"

#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "config.h"

// Fill pattern and pixel size are fixed: white on the 16-bit panels this is
// made for, and all-ones is white at any depth anyway.
static constexpr std::uint8_t white_byte = 0xFF;
static constexpr std::uint64_t bytes_per_painted_pixel = 2;
static constexpr std::uint64_t screens_painted = 2;

std::uint32_t framebuffer_map_length(const fb_var_screeninfo &var)
{
	// The historic formula sizes the mapping by the height alone, which
	// covers a portrait panel's region; paint_white clips everything else.
	const std::uint32_t product = 2u * var.yres * var.yres * var.bits_per_pixel;
	return product / 8u;
}

std::size_t framebuffer_painted_bytes(const fb_var_screeninfo &var, std::size_t map_length,
				      std::size_t memory_length)
{
	// A DRM driver's fbdev emulation grants a mapping longer than its memory
	// and raises SIGBUS at the first touch past it; a classic driver refuses
	// such a mapping outright. Either way nothing past the memory is painted.
	const std::size_t bound =
		memory_length != 0 && memory_length < map_length ? memory_length : map_length;
	// Rows follow each other without gaps, so the region is one span from
	// offset 0. Its height follows yres alone: the panning space a double-
	// buffering driver reports in yres_virtual is never painted.
	const std::uint64_t row_bytes = bytes_per_painted_pixel * var.xres_virtual;
	const std::uint64_t rows = screens_painted * var.yres;
	if (row_bytes == 0)
		return 0;
	// Compared by division so that no product can wrap, even with 32-bit size_t.
	if (rows <= bound / row_bytes)
		return static_cast<std::size_t>(rows * row_bytes);
	return bound;
}

std::size_t paint_white(std::uint8_t *map, std::size_t map_length, const fb_var_screeninfo &var,
			std::size_t memory_length)
{
	const std::size_t painted = framebuffer_painted_bytes(var, map_length, memory_length);
	std::memset(map, white_byte, painted);
	return painted;
}

// The size of the device's memory, or 0 when the driver does not say: the
// fill then trusts the mapping alone, as it must on a driver without the
// fixed screen info.
static std::size_t query_memory_length(int fd)
{
	fb_fix_screeninfo fix{};
	if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0)
		return 0;
	return fix.smem_len;
}

static void paint_device(int fd)
{
	fb_var_screeninfo var{};
	if (ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0)
		return;
	const std::size_t memory_length = query_memory_length(fd);
	const std::size_t length = framebuffer_map_length(var);
	// A zero length is refused here, and so is a length past the device's
	// memory by a classic driver; a DRM driver grants the latter.
	void *map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (map == MAP_FAILED)
		return;
	paint_white(static_cast<std::uint8_t *>(map), length, var, memory_length);
	munmap(map, length);
}

int fill_framebuffer_white_at(const char *device)
{
	const int fd = open(device, O_RDWR);
	if (fd < 0)
		return -1;
	paint_device(fd);
	return close(fd);
}

int fill_framebuffer_white()
{
	return fill_framebuffer_white_at(framebuffer_device);
}
