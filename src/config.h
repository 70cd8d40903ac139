// Every value tavrin works with is compiled in: the panel has no place for a
// configuration file and nobody to edit one.
#pragma once

#include <cstddef>
#include <ctime>

// Every X command names the panel's own display. DISPLAY is never read, so a
// service manager's environment cannot point the watcher at another server.
inline constexpr char dpms_query_command[] = "xset -display :0.0 q";
inline constexpr char dpms_force_on_command[] = "xset -display :0.0 dpms force on";
inline constexpr char dpms_force_off_command[] = "xset -display :0.0 dpms force off";
inline constexpr char repaint_black_command[] = "xrefresh -display :0.0 -black";

// What the query looks for in the output of dpms_query_command.
inline constexpr char monitor_on_phrase[] = "Monitor is On";
inline constexpr char monitor_off_phrase[] = "Monitor is Off";

inline constexpr char brightness_file[] = "/sys/class/backlight/backlight/brightness";
inline constexpr char backlight_off_level = '0';
inline constexpr char backlight_on_level = '8';

inline constexpr char framebuffer_device[] = "/dev/fb0";

inline constexpr std::time_t cycle_wait_seconds = 1;
inline constexpr long cycle_wait_nanoseconds = 0;

inline constexpr std::size_t command_buffer_size = 64;
inline constexpr std::size_t line_buffer_size = 1024;
