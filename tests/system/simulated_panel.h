#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "scratch_dir.h"

// The real tavrin and tavrin-check executables, run unmodified against the
// simulated panel of tests/panel: stand-in xset and xrefresh first on PATH,
// and the framebuffer, backlight and X socket redirected by a preloaded
// library.
struct PanelSetup {
	bool framebuffer = true;
	// "xres_virtual yres yres_virtual bits_per_pixel", as the device reports.
	std::string geometry = "3 4 4 16";
	// The driver's memory, smem_len.
	std::size_t framebuffer_bytes = 64;
	// A DRM driver's fbdev emulation: a mapping longer than the memory is
	// granted, and touching it past the memory raises SIGBUS.
	bool maps_past_memory = false;
	bool brightness = true;
	// A directory where the attribute should be (it wins over `brightness`):
	// no open for writing takes it.
	bool brightness_directory = false;
	std::string max_brightness = "255";
	// Seconds since the last of two blanking sequences began, as the udev
	// recorder keeps it, and the level the backlight went to afterwards (it
	// came back to 8 1.5 s later, or never). -1: no record, none since boot.
	int last_sequence_age = -1;
	std::string level_after_sequence = "8";
	// A backlight device registered under another name than tavrin's.
	std::string other_backlight;
	bool dpms_enabled = true;
	// The monitor's state as xset's query prints it after "Monitor is ".
	std::string monitor = "On";
	// "standby suspend off" when not X's default 600 600 600.
	std::string dpms_timeouts;
	bool x_reachable = true;
	// The stand-in xset on PATH.
	bool xset = true;
	// A listening socket for display :0, whether or not X answers through it.
	bool x_socket = false;
	// The mode of the cookie that the X server takes ("0600"), owned by
	// another user than root. The server is then a process of its own that
	// listens at the socket with "-auth COOKIE" on its command line.
	std::string x_cookie_mode;
	// The server's access list lets local users in, cookie or not.
	bool x_access_list = false;
	// XAUTHORITY as tavrin.service's drop-in sets it; "{sim}" stands for the
	// simulation's directory, as in expand_sim.
	std::string service_xauthority;
	// "ioctl", "mmap" and/or "brightness": panel operations that are refused
	// (see fake_panel.cpp).
	std::string faults;
	// How the stand-in xset's query misbehaves from the start (see its script).
	std::string query_mode;
	// "LoadState ActiveState SubState" of tavrin.service, as systemd reports
	// it, or empty where systemd is not running; then the restarts systemd
	// made by itself, and the age of the main process.
	std::string watcher = "loaded active running";
	int watcher_restarts = 0;
	int watcher_age_seconds = 600;
};

// `text` with each "{sim}" replaced by the simulation's directory.
std::string expand_sim(std::string text, const std::string &sim);

struct CheckRun {
	int status;
	std::string out;
	std::string err;
};

struct PanelEvent {
	double time;
	std::string what;
};

class SimulatedPanel
{
      public:
	explicit SimulatedPanel(const PanelSetup &setup);
	~SimulatedPanel();

	void start_tavrin();
	// Ends tavrin with SIGTERM. Returns false if it had already died.
	bool stop_tavrin();
	bool tavrin_running();
	// Runs tavrin-check with `arguments` to its end.
	CheckRun run_check(const std::vector<std::string> &arguments = {});

	void set_monitor_on(bool on);
	void set_x_reachable(bool reachable);
	void set_query_mode(const std::string &mode);
	// Puts the stand-in xset on tavrin's PATH, or takes it off.
	void set_xset_installed(bool installed);

	std::vector<PanelEvent> events() const;
	int count_events(const std::string &what) const;
	// Polls the event log until `done` holds or `seconds` pass.
	bool wait_for(const std::function<bool(const std::vector<PanelEvent> &)> &done,
		      double seconds) const;
	bool wait_for_events(const std::string &what, int count, double seconds) const;

	std::string tavrin_output() const;
	std::string framebuffer() const;
	std::string brightness() const;
	const ScratchDir &dir() const
	{
		return dir_;
	}

      private:
	void start_x_server(const std::string &cookie_mode);

	ScratchDir dir_;
	pid_t pid_ = -1;
	int x_socket_ = -1;
	pid_t x_server_ = -1;
	// The server waits until this, its standard input, closes.
	int x_server_input_ = -1;
	// Whether tavrin runs under valgrind, whose report is checked when it stops.
	bool memchecked_ = false;
};
