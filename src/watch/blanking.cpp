#include "watch/blanking.h"

#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "config.h"
#include "framebuffer/fb_fill.h"

int write_brightness(const char *path, char level)
{
	// No O_CREAT: a missing backlight device must stay missing, not become a
	// regular file that hides the fault from whoever looks at the panel later.
	const int fd = open(path, O_RDWR);
	if (fd < 0)
		return fd;
	// A level the driver refuses changes nothing that a retry would fix.
	const ssize_t written = write(fd, &level, 1);
	(void)written;
	return close(fd);
}

int backlight_off()
{
	return write_brightness(brightness_file, backlight_off_level);
}

int backlight_on()
{
	return write_brightness(brightness_file, backlight_on_level);
}

static void run_command(const char *command)
{
	// system waits for the command, which is what keeps the steps in order.
	// Its status is of no use: the next step runs either way.
	const int status = std::system(command);
	(void)status;
}

void blank_panel()
{
	backlight_off();
	// The white fill only reaches the glass while DPMS has the panel powered.
	run_command(dpms_force_on_command);
	fill_framebuffer_white();
	run_command(dpms_force_off_command);
	run_command(repaint_black_command);
	backlight_on();
}
