// Preloaded into an unmodified tavrin or tavrin-check to give it a simulated
// panel: the framebuffer device, the backlight class and the X server's
// socket are redirected into the directory named by TAVRIN_SIM, the geometry
// queries are answered from files there, and each thing done to the panel is
// logged as an event.
//
// The simulation directory holds:
//   fb           backing file of the framebuffer (absent: no device); its
//                size is the driver's memory, smem_len
//   fb-geometry  "xres_virtual yres yres_virtual bits_per_pixel"
//   brightness   backing file of the brightness attribute (absent: no backlight)
//   max_brightness      the attribute beside it
//   backlight-record    stands for the udev recorder's /run/tavrin/backlight
//   backlight-class     stands for /sys/class/backlight
//   X0           stands for the socket of X display :0
//   faults       words naming refused operations: "ioctl", "mmap", and
//                "brightness" (opening the attribute for writing fails with
//                EROFS, as on a read-only /sys, which stops root too); and
//                what the running watcher's sandbox lacks, seen through
//                /proc/PID/root: "watcher-fb" (no /dev/fb0 in its private
//                /dev), "watcher-brightness" (its /sys read-only throughout)
//                and "watcher-hidden" (no /proc/PID at all, as
//                ProtectProc=invisible hides it)
//   drm-fbdev    present: the framebuffer behaves as a DRM driver's fbdev
//                emulation, which grants a mapping longer than its memory;
//                a shared mapping of the backing file raises SIGBUS past
//                its end just as the driver does past smem_len
//   tavrin.service      "LoadState ActiveState SubState NRestarts start",
//                the start in CLOCK_MONOTONIC microseconds, for the
//                stand-in systemctl (absent: no systemd)
//   events       appended: "<seconds since the epoch> <event>"
// The stand-in X tools beside this file log into the same events file. The
// simulation's PATH holds the stand-ins alone, so that no real X tool
// answers for one that a test took away; they set their own PATH.

// Each function below is interposed under its own name, as glibc exports it.
// With 64-bit offsets or time by default (Debian's armhf compilers since
// trixie), glibc's headers would rename open to open64 and ioctl to
// __ioctl_time64, and open64 would be defined twice.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

constexpr char fb_path[] = "/dev/fb0";
constexpr char brightness_path[] = "/sys/class/backlight/backlight/brightness";
constexpr char max_brightness_path[] = "/sys/class/backlight/backlight/max_brightness";
constexpr char backlight_class_path[] = "/sys/class/backlight";
constexpr char x_socket_path[] = "/tmp/.X11-unix/X0";
constexpr char backlight_record_path[] = "/run/tavrin/backlight";

using open_fn = int (*)(const char *, int, ...);
using close_fn = int (*)(int);
using write_fn = ssize_t (*)(int, const void *, size_t);
using ioctl_fn = int (*)(int, unsigned long, ...);
using munmap_fn = int (*)(void *, size_t);

int fb_fd = -1;
int brightness_fd = -1;
void *fb_map = nullptr;
size_t fb_map_length = 0;
// What of the mapping has the driver's memory behind it.
size_t fb_map_backed = 0;
bool fb_map_writable = false;

template <typename Fn> Fn real(const char *name)
{
	return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

const char *sim_dir()
{
	const char *dir = std::getenv("TAVRIN_SIM");
	return dir != nullptr ? dir : "";
}

void sim_file(char *out, size_t size, const char *name)
{
	std::snprintf(out, size, "%s/%s", sim_dir(), name);
}

void log_event(const char *format, ...)
{
	char line[256];
	timespec now;
	clock_gettime(CLOCK_REALTIME, &now);
	int used = std::snprintf(line, sizeof line, "%lld.%09ld ",
				 static_cast<long long>(now.tv_sec), now.tv_nsec);
	va_list args;
	va_start(args, format);
	used += std::vsnprintf(line + used, sizeof line - used, format, args);
	va_end(args);
	if (used >= static_cast<int>(sizeof line) - 1)
		used = sizeof line - 2;
	line[used++] = '\n';

	char events[512];
	sim_file(events, sizeof events, "events");
	const int fd =
		real<open_fn>("open")(events, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0)
		return;
	const ssize_t written = real<write_fn>("write")(fd, line, used);
	(void)written;
	real<close_fn>("close")(fd);
}

bool fault_enabled(const char *word)
{
	char faults[512];
	sim_file(faults, sizeof faults, "faults");
	std::FILE *f = std::fopen(faults, "re");
	if (f == nullptr)
		return false;
	char token[64];
	bool found = false;
	while (!found && std::fscanf(f, "%63s", token) == 1)
		found = std::strcmp(token, word) == 0;
	std::fclose(f);
	return found;
}

// The redirected path for a panel path, or the path itself.
const char *redirect(const char *path, char *buffer, size_t size)
{
	if (path == nullptr)
		return path;
	if (std::strcmp(path, fb_path) == 0) {
		sim_file(buffer, size, "fb");
		return buffer;
	}
	if (std::strcmp(path, brightness_path) == 0) {
		sim_file(buffer, size, "brightness");
		return buffer;
	}
	if (std::strcmp(path, max_brightness_path) == 0) {
		sim_file(buffer, size, "max_brightness");
		return buffer;
	}
	if (std::strcmp(path, backlight_record_path) == 0) {
		sim_file(buffer, size, "backlight-record");
		return buffer;
	}
	return path;
}

// The watcher's view is the panel's but for what its sandbox lacks, named in
// faults by "watcher-" and the simulation's file; it never counts as one of
// the panel's own descriptors.
int open_in_watcher_view(const char *symbol, const char *seen, int flags, mode_t mode)
{
	char buffer[512];
	const bool root = std::strcmp(seen, "/") == 0;
	const char *target = root ? sim_dir() : redirect(seen, buffer, sizeof buffer);
	const char *name = root ? "hidden" : std::strrchr(target, '/') + 1;
	char fault[64];
	std::snprintf(fault, sizeof fault, "watcher-%s", name);
	if (fault_enabled(fault)) {
		errno = std::strcmp(name, "brightness") == 0 ? EROFS : ENOENT;
		return -1;
	}
	return real<open_fn>(symbol)(target, flags, mode);
}

bool refuse_brightness_writer(const char *path, int flags)
{
	if (std::strcmp(path, brightness_path) != 0 || (flags & O_ACCMODE) == O_RDONLY ||
	    !fault_enabled("brightness"))
		return false;
	log_event("brightness open refused");
	errno = EROFS;
	return true;
}

int open_redirected(const char *symbol, const char *path, int flags, mode_t mode)
{
	// "/proc/PID/root/dev/fb0" is /dev/fb0 as the running watcher sees it.
	int end = 0;
	if (path != nullptr)
		(void)std::sscanf(path, "/proc/%*u/root%n", &end);
	if (end != 0 && path[end] == '/')
		return open_in_watcher_view(symbol, path + end, flags, mode);
	char buffer[512];
	const char *target = redirect(path, buffer, sizeof buffer);
	if (target == buffer && refuse_brightness_writer(path, flags))
		return -1;
	const int fd = real<open_fn>(symbol)(target, flags, mode);
	if (target == buffer && fd >= 0) {
		if (std::strcmp(path, fb_path) == 0)
			fb_fd = fd;
		else if (std::strcmp(path, brightness_path) == 0)
			brightness_fd = fd;
	}
	return fd;
}

int answer_geometry(fb_var_screeninfo *var)
{
	char geometry[512];
	sim_file(geometry, sizeof geometry, "fb-geometry");
	std::FILE *f = std::fopen(geometry, "re");
	if (f == nullptr) {
		errno = EINVAL;
		return -1;
	}
	std::memset(var, 0, sizeof *var);
	const int fields = std::fscanf(f, "%u %u %u %u", &var->xres_virtual, &var->yres,
				       &var->yres_virtual, &var->bits_per_pixel);
	std::fclose(f);
	if (fields != 4) {
		errno = EINVAL;
		return -1;
	}
	var->xres = var->xres_virtual;
	return 0;
}

// The driver's memory is the backing file.
int answer_fixed_info(int fd, fb_fix_screeninfo *fix)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return -1;
	std::memset(fix, 0, sizeof *fix);
	std::snprintf(fix->id, sizeof fix->id, "simulated");
	fix->smem_len = static_cast<__u32>(st.st_size);
	return 0;
}

size_t count_white(const void *map, size_t length)
{
	const unsigned char *bytes = static_cast<const unsigned char *>(map);
	size_t white = 0;
	for (size_t i = 0; i < length; ++i)
		white += bytes[i] == 0xFF;
	return white;
}

// Whether this process runs the executable named by TAVRIN_SIM_TARGET. A
// launcher (a memory checker's wrapper script, say) starts before tavrin with
// the same environment and must pass the preload on.
bool is_target_process()
{
	const char *target = std::getenv("TAVRIN_SIM_TARGET");
	if (target == nullptr)
		return true;
	char exe[PATH_MAX];
	const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
	char resolved[PATH_MAX];
	if (length < 0 || realpath(target, resolved) == nullptr)
		return true;
	exe[length] = '\0';
	return std::strcmp(exe, resolved) == 0;
}

// Children of tavrin are host tools: they need no simulated panel, and under
// a user-mode emulator they could not even load this library.
__attribute__((constructor)) void forget_preload()
{
	if (is_target_process())
		unsetenv("LD_PRELOAD");
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
	va_end(args);
	return open_redirected("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
	va_end(args);
	return open_redirected("open64", path, flags, mode);
}

int __open_2(const char *path, int flags)
{
	return open_redirected("open", path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
	return open_redirected("open64", path, flags, 0);
}

ssize_t write(int fd, const void *data, size_t size)
{
	if (fd == brightness_fd && fd >= 0 && size > 0)
		log_event("brightness %c", *static_cast<const char *>(data));
	return real<write_fn>("write")(fd, data, size);
}

int close(int fd)
{
	if (fd >= 0 && fd == fb_fd) {
		fb_fd = -1;
		log_event("fb closed");
	} else if (fd >= 0 && fd == brightness_fd) {
		brightness_fd = -1;
		log_event("brightness closed");
	}
	return real<close_fn>("close")(fd);
}

static int ioctl_redirected(const char *symbol, int fd, unsigned long request, void *argument)
{
	if (fd < 0 || fd != fb_fd)
		return real<ioctl_fn>(symbol)(fd, request, argument);
	if (request == FBIOGET_FSCREENINFO && !fault_enabled("ioctl"))
		return answer_fixed_info(fd, static_cast<fb_fix_screeninfo *>(argument));
	if (request != FBIOGET_VSCREENINFO || fault_enabled("ioctl")) {
		log_event("fb ioctl refused");
		errno = request == FBIOGET_VSCREENINFO ? EIO : ENOTTY;
		return -1;
	}
	return answer_geometry(static_cast<fb_var_screeninfo *>(argument));
}

int ioctl(int fd, unsigned long request, ...)
{
	va_list args;
	va_start(args, request);
	void *argument = va_arg(args, void *);
	va_end(args);
	return ioctl_redirected("ioctl", fd, request, argument);
}

// What a 32-bit program built with 64-bit time calls for ioctl.
int __ioctl_time64(int fd, unsigned long request, ...)
{
	va_list args;
	va_start(args, request);
	void *argument = va_arg(args, void *);
	va_end(args);
	return ioctl_redirected("__ioctl_time64", fd, request, argument);
}

static size_t panel_memory(int fd)
{
	struct stat st;
	return fstat(fd, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

static bool drm_fbdev()
{
	char marker[512];
	sim_file(marker, sizeof marker, "drm-fbdev");
	struct stat st;
	return stat(marker, &st) == 0;
}

// A classic fbdev driver refuses a mapping larger than its memory instead of
// handing out pages that fault when touched; DRM's fbdev emulation hands
// them out.
static bool refuse_panel_map(int fd, size_t length)
{
	if (!fault_enabled("mmap") && (length <= panel_memory(fd) || drm_fbdev()))
		return false;
	log_event("fb mmap refused %zu", length);
	errno = EINVAL;
	return true;
}

static void *remember_panel_map(void *map, size_t length, int protection)
{
	if (map != MAP_FAILED) {
		fb_map = map;
		fb_map_length = length;
		const size_t memory = panel_memory(fb_fd);
		fb_map_backed = length < memory ? length : memory;
		fb_map_writable = (protection & PROT_WRITE) != 0;
	}
	return map;
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset)
{
	using mmap_fn = void *(*)(void *, size_t, int, int, int, off_t);
	const mmap_fn real_mmap = real<mmap_fn>("mmap");
	if (fd < 0 || fd != fb_fd)
		return real_mmap(address, length, protection, flags, fd, offset);
	if (refuse_panel_map(fd, length))
		return MAP_FAILED;
	return remember_panel_map(real_mmap(address, length, protection, flags, fd, offset), length,
				  protection);
}

void *mmap64(void *address, size_t length, int protection, int flags, int fd, off64_t offset)
{
	using mmap64_fn = void *(*)(void *, size_t, int, int, int, off64_t);
	const mmap64_fn real_mmap64 = real<mmap64_fn>("mmap64");
	if (fd < 0 || fd != fb_fd)
		return real_mmap64(address, length, protection, flags, fd, offset);
	if (refuse_panel_map(fd, length))
		return MAP_FAILED;
	return remember_panel_map(real_mmap64(address, length, protection, flags, fd, offset),
				  length, protection);
}

int munmap(void *address, size_t length)
{
	if (address != nullptr && address == fb_map) {
		if (fb_map_writable)
			log_event("fb painted %zu of %zu", count_white(address, fb_map_backed),
				  fb_map_length);
		else
			log_event("fb read-only map %zu", fb_map_length);
		fb_map = nullptr;
	}
	return real<munmap_fn>("munmap")(address, length);
}

} // extern "C"

extern "C" {

DIR *opendir(const char *path)
{
	using opendir_fn = DIR *(*)(const char *);
	char buffer[512];
	if (std::strcmp(path, backlight_class_path) == 0) {
		sim_file(buffer, sizeof buffer, "backlight-class");
		path = buffer;
	}
	return real<opendir_fn>("opendir")(path);
}

// The check tells "no server" from "a server that refuses" by connecting
// to display :0's socket; the test binds one in the simulation when it wants
// a server there.
int connect(int fd, const sockaddr *address, socklen_t length)
{
	using connect_fn = int (*)(int, const sockaddr *, socklen_t);
	const auto *unix_address = reinterpret_cast<const sockaddr_un *>(address);
	sockaddr_un redirected{};
	if (address != nullptr && address->sa_family == AF_UNIX &&
	    length > offsetof(sockaddr_un, sun_path) &&
	    std::strcmp(unix_address->sun_path, x_socket_path) == 0) {
		redirected.sun_family = AF_UNIX;
		sim_file(redirected.sun_path, sizeof redirected.sun_path, "X0");
		address = reinterpret_cast<const sockaddr *>(&redirected);
		length = sizeof redirected;
	}
	return real<connect_fn>("connect")(fd, address, length);
}

} // extern "C"
