// Runs the tavolin console as a separate process, as a person or a script would, and the
// demo heap built in this process for comparison.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "cli/demo_heap.h"
#include "tests/common/testkit.h"

#ifdef TAVOLIN_HAVE_JSON
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#endif

namespace clitest {

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status; 128 + signal when killed by one
};

// Runs the console with `args`, feeding `input` to its standard input.
Outcome console(const std::vector<std::string>& args, const std::string& input = "");

#if !defined(_WIN32)
// Runs the console with `before` on its standard input, waits until its output shows `shown`,
// sends it SIGINT (Ctrl-C), then gives it `after` and the end of its input.
Outcome consoleInterrupted(const std::vector<std::string>& args, const std::string& before,
                           const std::string& shown, const std::string& after);

// The console on a pseudo-terminal, as a person at a keyboard runs it.
class Terminal {
 public:
  explicit Terminal(const std::vector<std::string>& args);
  ~Terminal();
  void type(const std::string& keys);
  // What the console wrote until `text` appeared (or 30 s passed).
  std::string readUntil(const std::string& text);
  int wait();  // the exit status

 private:
  int fd_ = -1;
  int pid_ = -1;
};

// Runs a shell command line with the console first on the PATH; standard error joins standard
// output, as a terminal shows them.
Outcome shellCommand(const std::string& command);
#endif

// The demo heap, built here exactly as the console builds it, with its own private library.
struct DemoInProcess {
  explicit DemoInProcess(bool high = false);
  testkit::Heap heap;
  cli::DemoHeap demo;
};

std::string hex(uint32_t h);
#ifdef TAVOLIN_HAVE_JSON
// The console's --json answer to `args`, which must succeed with an array of records.
inline nlohmann::json jsonOf(const std::vector<std::string>& args) {
  std::vector<std::string> all{"--json"};
  all.insert(all.end(), args.begin(), args.end());
  const Outcome r = console(all);
  EXPECT_EQ(r.status, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out, nullptr, /*allow_exceptions=*/false);
  EXPECT_TRUE(j.is_array()) << r.out;
  return j;
}
#endif

// The lines of a text, without their newlines.
std::vector<std::string> lines(const std::string& text);
// The blank-separated words of one line.
std::vector<std::string> words(const std::string& line);
// The first line containing `needle`, or "".
std::string lineWith(const std::string& text, const std::string& needle);

}  // namespace clitest
