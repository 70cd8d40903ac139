#include "check/framebuffer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "check/check_config.h"
#include "check/report.h"
#include "framebuffer/fb_fill.h"

// The fill's region is two screens deep at this depth.
static constexpr std::uint32_t fill_depth = 16;
static constexpr std::uint64_t percent = 100;
static constexpr std::uint64_t bits_per_byte = 8;
static constexpr char unknown_size[] = "unknown";

// smem_len comes from the fixed screen info, which tavrin itself never asks
// for: without it the report goes on, the size shown as unknown.
static void report_geometry(const fb_var_screeninfo &var, const char *smem)
{
	report(std::strcmp(smem, unknown_size) != 0 ? VERDICT_OK : VERDICT_WARN, "geometry",
	       "visible %ux%u, virtual %ux%u, %u bpp, smem_len %s", var.xres, var.yres,
	       var.xres_virtual, var.yres_virtual, var.bits_per_pixel, smem);
}

// Tried rather than predicted: only the driver knows what it will map. The
// mapping is read-only and undone at once, and never touched: past the
// memory of a driver that grants more than it has, a touch would fault.
static int report_mapping(int fd, std::uint32_t length, const char *smem, std::size_t memory)
{
	void *map = length != 0 ? mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
	if (map == MAP_FAILED) {
		report(VERDICT_FAIL, "mapping",
		       "the driver refuses tavrin's %u bytes (smem_len %s)", length, smem);
		skip_steps(STEP_FILL);
		return 0;
	}
	munmap(map, length);
	if (memory != 0 && length > memory)
		report(VERDICT_OK, "mapping",
		       "%u bytes accepted, %zu past the device's memory (smem_len %s), as DRM's "
		       "fbdev emulation grants them",
		       length, length - memory, smem);
	else
		report(VERDICT_OK, "mapping", "%u bytes accepted (smem_len %s)", length, smem);
	return 1;
}

static void report_painted(const fb_var_screeninfo &var, std::uint32_t length, std::size_t memory)
{
	const std::size_t painted = framebuffer_painted_bytes(var, length, memory);
	const std::size_t region = framebuffer_painted_bytes(var, SIZE_MAX, 0);
	// The fill's own bound decides; the memory is named only where it is the
	// shorter of the two.
	const char *cut = memory != 0 && memory < length ? "the device's memory" : "the mapping";
	if (painted == region && painted != 0) {
		report(VERDICT_OK, "painted", "%zu bytes, the whole 2 x yres region", painted);
		return;
	}
	report(painted != 0 ? VERDICT_WARN : VERDICT_FAIL, "painted",
	       "%zu of the %zu-byte 2 x yres region (%llu%%), cut at %s", painted, region,
	       region != 0 ? static_cast<unsigned long long>(painted * percent / region) : 0, cut);
	if (painted == 0)
		skip_steps(STEP_FILL);
}

// How much of one screen the painted span covers at this depth.
static void report_depth(const fb_var_screeninfo &var, std::uint32_t length, std::size_t memory)
{
	const std::uint64_t screen =
		std::uint64_t{var.xres_virtual} * var.yres * var.bits_per_pixel / bits_per_byte;
	const std::uint64_t painted = framebuffer_painted_bytes(var, length, memory);
	const unsigned long long share = screen != 0 ? painted * percent / screen : 0;
	report(var.bits_per_pixel == fill_depth ? VERDICT_OK : VERDICT_WARN, "depth",
	       "%u bpp, the painted span is %llu%% of a screen%s", var.bits_per_pixel, share,
	       var.bits_per_pixel == fill_depth ? "" : " (all-ones is white; 200% at 16 bpp)");
}

// The items after the device's own, in their order.
enum fill_item : int {
	ITEM_GEOMETRY,
	ITEM_MAPPING,
	ITEM_PAINTED,
	ITEM_DEPTH,
	FILL_ITEMS,
};
static constexpr const char *fill_item_names[FILL_ITEMS] = {"geometry", "mapping", "painted",
							    "depth"};

// What an earlier item kept the check from: `first` and the items after it.
static void report_fill_unchecked(int first, const char *why)
{
	for (int i = first; i < FILL_ITEMS; ++i)
		report_unchecked(fill_item_names[i], why);
}

static void check_open_device(int fd)
{
	fb_var_screeninfo var{};
	fb_fix_screeninfo fix{};
	if (ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0) {
		report(VERDICT_FAIL, "geometry", "the driver refuses FBIOGET_VSCREENINFO");
		skip_steps(STEP_FILL);
		report_fill_unchecked(ITEM_MAPPING, "the geometry is not known");
		return;
	}
	char smem[number_text_size] = {};
	// 0, as in the fill, when the driver does not say.
	std::size_t memory = 0;
	if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) == 0) {
		memory = fix.smem_len;
		(void)std::snprintf(smem, sizeof smem, "%u", fix.smem_len);
	} else {
		(void)std::snprintf(smem, sizeof smem, "%s", unknown_size);
	}
	report_geometry(var, smem);
	const std::uint32_t length = framebuffer_map_length(var);
	if (report_mapping(fd, length, smem, memory) == 0) {
		report_fill_unchecked(ITEM_PAINTED, "the driver refuses the mapping");
		return;
	}
	report_painted(var, length, memory);
	report_depth(var, length, memory);
}

int check_framebuffer()
{
	const int fd = open(framebuffer_device, O_RDWR | O_CLOEXEC);
	if (fd < 0) {
		const int error = errno;
		report(VERDICT_FAIL, "framebuffer", "%s cannot be opened read-write: %s",
		       framebuffer_device, std::strerror(error));
		report_fix(error == ENOENT ? "load the panel's framebuffer driver (ls /dev/fb*)"
					   : "run tavrin as root or in the video group");
		skip_steps(STEP_FILL);
		report_fill_unchecked(ITEM_GEOMETRY, "the framebuffer does not open");
		return 0;
	}
	report(VERDICT_OK, "framebuffer", "%s opens read-write", framebuffer_device);
	check_open_device(fd);
	close(fd);
	return 1;
}
