#include <sstream>
#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "report_forms.h"
#include "simulated_panel.h"
#include "system_paths.h"

namespace
{

bool has_line(const std::string &text, const std::string &line)
{
	return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

int count_lines_starting(const std::string &text, const std::string &start)
{
	int count = 0;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		count += line.rfind(start, 0) == 0 ? 1 : 0;
	return count;
}

// A panel where step 6 cannot run, so that the gauges carry both values. The
// exporter sorts labels by name and prints values its own way, so its lines
// are not the file's.
TEST(NodeExporter, ServesTheCheckGaugesFromItsTextfileDirectory)
{
	SimulatedPanel panel({.max_brightness = "1"});
	const CheckRun run = panel.run_check({"--prometheus"});
	ASSERT_EQ(run.status, 1) << run.out << run.err;
	const std::string textfiles = panel.dir().file("textfiles");
	ASSERT_EQ(mkdir(textfiles.c_str(), 0755), 0);
	write_file(textfiles + "/tavrin.prom", run.out);

	const std::string log = panel.dir().file("exporter.log");
	const ToolRun scrape = run_shell(std::string(tavrin_scrape_textfiles) + " '" + textfiles +
					 "' '" + log + "' " + tavrin_node_exporter + " " + tavrin_curl);
	ASSERT_EQ(scrape.status, 0) << scrape.output << read_file(log);
	for (const char *line : {
		     "node_textfile_scrape_error 0",
		     "tavrin_blanking_step_runnable{name=\"backlight_off\",step=\"1\"} 1",
		     "tavrin_blanking_step_runnable{name=\"backlight_on\",step=\"6\"} 0",
		     "tavrin_blanking_possible 1",
		     "tavrin_check_item_verdict{item=\"max_brightness\"} 2",
		     "# TYPE tavrin_sequences_total counter",
		     "tavrin_sequences_total 0",
	     })
		EXPECT_TRUE(has_line(scrape.output, line)) << line << "\n" << scrape.output;
	EXPECT_EQ(count_lines_starting(scrape.output, "tavrin_"),
		  count_lines_starting(run.out, "tavrin_"));
}

} // namespace
