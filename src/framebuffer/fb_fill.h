#pragma once

#include <cstddef>
#include <cstdint>

#include <linux/fb.h>

// Bytes tavrin maps from the device: 2 × yres × yres × bits_per_pixel / 8,
// with the product wrapping in 32 bits before the division.
std::uint32_t framebuffer_map_length(const fb_var_screeninfo &var);

// How many bytes from the start of a map_length-byte mapping the fill paints:
// the 2 × yres rows of 2 × xres_virtual bytes, stopping at map_length, and at
// memory_length (the driver's smem_len) unless that is 0 for unknown,
// whatever the geometry says.
std::size_t framebuffer_painted_bytes(const fb_var_screeninfo &var, std::size_t map_length,
				      std::size_t memory_length);

// Sets to 0xFF the framebuffer_painted_bytes(var, map_length, memory_length)
// bytes from the start of the map. Returns their number.
std::size_t paint_white(std::uint8_t *map, std::size_t map_length, const fb_var_screeninfo &var,
			std::size_t memory_length);

// Paints the framebuffer device at `device` white. Returns -1 when it cannot
// be opened, otherwise the result of close.
int fill_framebuffer_white_at(const char *device);

int fill_framebuffer_white();
