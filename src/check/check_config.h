// What tavrin-check reads besides the daemon's own values in config.h. Like
// the daemon, it is configured by nothing but what is compiled in.
#pragma once

#include <cstddef>

#include "config.h"

// Set by the build from the project's version.
inline constexpr char check_version[] = TAVRIN_VERSION;

inline constexpr char xset_program[] = "xset";
inline constexpr char xrefresh_program[] = "xrefresh";
inline constexpr char shell_path[] = "/bin/sh";

// Where the X server for display :0 listens; its absence tells "no server"
// apart from "a server that refuses us".
inline constexpr char x_socket_path[] = "/tmp/.X11-unix/X0";

// Items of the query's output beside the monitor line.
inline constexpr char dpms_enabled_phrase[] = "DPMS is Enabled";
inline constexpr char dpms_disabled_phrase[] = "DPMS is Disabled";
inline constexpr char monitor_phrase[] = "Monitor is ";
// "  Standby: 600    Suspend: 600    Off: 600", in this order on one line.
inline constexpr char standby_label[] = "Standby:";
inline constexpr char suspend_label[] = "Suspend:";
inline constexpr char off_label[] = "Off:";

// The X cookie's drop-in as the README makes it, and where the check's unit
// links it: an edit of a unit under /lib is lost at the next upgrade.
inline constexpr char cookie_drop_in_dir[] = "/etc/systemd/system/tavrin.service.d";
inline constexpr char cookie_drop_in[] = "/etc/systemd/system/tavrin.service.d/xauthority.conf";
inline constexpr char check_drop_in_dir[] = "/etc/systemd/system/tavrin-check.service.d/";

// How the service would meet the X server: its user and group (root when
// unset) and the XAUTHORITY among its Environment= assignments, from the
// unit's query below. The server names its cookie on its command line,
// after -auth.
inline constexpr char xauthority_variable[] = "XAUTHORITY";
inline constexpr char xauthority_assignment[] = "XAUTHORITY=";
// Xlib's own fallback where XAUTHORITY is unset; a root service has no HOME.
inline constexpr char home_cookie_name[] = ".Xauthority";
inline constexpr char x_auth_option[] = "-auth";
inline constexpr char server_command_line_format[] = "/proc/%ld/cmdline";
// What the check's query uses where the service could read no cookie: an
// empty one, with which Xlib connects without authorization as the service's
// would.
inline constexpr char no_cookie_file[] = "/dev/null";
inline constexpr char root_user[] = "root";

// What systemd knows of the running watcher and of the service's
// credentials, asked once. NRestarts counts the restarts systemd made by
// itself since the unit was last started by hand, and the start time is on
// CLOCK_MONOTONIC, in microseconds. systemctl's own complaint (no bus, not
// booted with systemd) is read with its answer, for the report's line: the
// check's standard error carries only the X tools'.
inline constexpr char watcher_unit[] = "tavrin.service";
inline constexpr char unit_query_command[] =
	"systemctl show --property=LoadState,ActiveState,SubState,NRestarts,MainPID,"
	"ExecMainStartTimestampMonotonic,User,Group,Environment tavrin.service 2>&1";
// A watcher that systemd restarted by itself and that has not lived this
// long is taken for one that dies as it starts: with RestartSec=1s such a
// loop is either waiting to restart or running a process seconds old.
inline constexpr long watcher_settled_seconds = 10;
// A path as the running watcher sees it, through its root: its sandbox is
// made once, when it starts, and has only the devices there were then.
inline constexpr char watcher_view_format[] = "/proc/%ld/root%s";

inline constexpr char backlight_class_dir[] = "/sys/class/backlight";

// What the package's udev recorder keeps of the backlight's levels since
// boot, one line "SEQUENCES DARK LEVEL BACK": how often the level went to 0,
// when it last did, the level now and when it then came to 8 again (0 while
// it has not), times in seconds since boot as /proc/uptime gives them.
inline constexpr char backlight_record_file[] = "/run/tavrin/backlight";
inline constexpr std::size_t record_size = 256;
// The record's times are seconds since boot; the kernel says when that was.
inline constexpr char kernel_stat_file[] = "/proc/stat";
inline constexpr char boot_time_label[] = "btime ";
// A sequence takes a second or two; a level still 0 this long after one
// began means the backlight did not come back.
inline constexpr long long sequence_settle_seconds = 10;
inline constexpr char max_brightness_file[] = "/sys/class/backlight/backlight/max_brightness";

// The query's output is kept whole so that every item is read from the same
// answer; real output is about 1 KiB, and a longer one is cut here.
inline constexpr std::size_t query_output_size = 16384;
inline constexpr std::size_t unit_output_size = 8192;
inline constexpr std::size_t account_buffer_size = 4096;
inline constexpr std::size_t state_word_size = 32;
inline constexpr std::size_t command_line_size = 256;
inline constexpr std::size_t command_read_size = 4096;
inline constexpr std::size_t path_buffer_size = 4096;
inline constexpr std::size_t report_line_size = 256;
inline constexpr std::size_t number_text_size = 32;

// The report's table: every item the checks make fits, and a detail holds a
// whole path found through PATH.
inline constexpr std::size_t max_items = 24;
inline constexpr std::size_t item_name_size = 32;
inline constexpr std::size_t item_detail_size = path_buffer_size + report_line_size;
// A fix may quote a path and a drop-in's whole command line around it.
inline constexpr std::size_t item_fix_size = path_buffer_size + 2 * report_line_size;

// No command the check runs may hold it up for longer: an X server that
// accepts the connection and never answers would keep xset waiting as long
// as it lives. tavrin-check.service bounds the whole run well above this.
inline constexpr long command_time_limit_seconds = 3;
// systemctl is no X server that may hang for ever, but on a busy panel its
// answer has taken longer than the X query's limit.
inline constexpr long systemd_time_limit_seconds = 10;
inline constexpr long reap_pause_nanoseconds = 10000000;

inline constexpr int exit_all_steps = 0;
inline constexpr int exit_steps_skipped = 1;
inline constexpr int exit_usage = 2;
