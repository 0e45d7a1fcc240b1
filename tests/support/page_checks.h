// Checks of the status server's observability pages with real parsers outside
// the program: Prometheus' own promtool for the metrics text, Python's json
// module for the JSON document, and a reader for the metrics' sample values.
//
// Threads: used by the test's thread.
#ifndef QUILLRADE_TESTS_SUPPORT_PAGE_CHECKS_H_
#define QUILLRADE_TESTS_SUPPORT_PAGE_CHECKS_H_

#include <map>
#include <string>

// promtool's path; the tests that need it skip when it is not installed.
constexpr char kPromtool[] = "/usr/bin/promtool";

struct CommandResult {
  int nExitCode = -1;
  std::string strOutput;  // standard output and error together
};

// Runs `command` through the shell with `input` on its standard input.
CommandResult RunShell(const std::string& command, const std::string& input = "");

// What `promtool check metrics` says about `metrics`; exit code 0 and no output
// when it found no problem.
CommandResult CheckMetricsWithPromtool(const std::string& metrics);

// Parses `json` with Python's json module and returns every leaf (number,
// string, true, false, null) by its path of keys and indices joined with "/"
// ("tasks/0/last_request/url"), written back as JSON ("\"OK\"", "200", "null").
// Empty when the text does not parse.
std::map<std::string, std::string> JsonLeaves(const std::string& json);

// The body of a raw HTTP response (what follows the blank line); empty when the
// head is incomplete.
std::string ResponseBody(const std::string& response);

// The value of the sample `series` (name and labels exactly as the program
// writes them, e.g. quillrade_tasks or x_total{task="output0",index="0"}); -1
// when absent.
double MetricValue(const std::string& metrics, const std::string& series);

#endif  // QUILLRADE_TESTS_SUPPORT_PAGE_CHECKS_H_
