// Where this build tree's programs and the tools the system tests run lie.
// The build generates their definitions into one small source of its own:
// they differ with the tree's place, and a compiler cache would miss every
// source that held them whenever a clone lies somewhere new.
#pragma once

extern const char tavrin_executable[];
extern const char tavrin_check_executable[];
extern const char tavrin_fake_panel[];
extern const char tavrin_stand_ins[];
extern const char tavrin_scrape_textfiles[];
extern const char tavrin_promtool[];
extern const char tavrin_node_exporter[];
extern const char tavrin_curl[];
