// Every console example in the README, run as written: its output must be what the README shows.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/cli/console.h"

namespace clitest {
namespace {

struct Example {
  std::string command;  // after "$ "
  std::string output;
  int line = 0;  // in the README
};

// The "$ tavolin ..." lines of the README's code blocks and the lines under them, up to the next
// "$ " line or the end of the block. The demo's own output holds "$ " lines: its block is all
// its output.
std::vector<Example> readmeExamples() {
  std::ifstream in(std::string(TAVOLIN_SOURCE_DIR) + "/README.md");
  std::vector<Example> examples;
  bool inBlock = false, inDemo = false, collecting = false;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.rfind("```", 0) == 0) {
      inBlock = !inBlock;
      inDemo = collecting = false;
      continue;
    }
    if (!inBlock) continue;
    if (!inDemo && line.rfind("$ ", 0) == 0 && line.find("tavolin") != std::string::npos) {
      examples.push_back({line.substr(2), "", number});
      inDemo = line == "$ tavolin demo";
      collecting = true;
    } else if (collecting) {
      examples.back().output += line + "\n";
    }
  }
  return examples;
}

TEST(Readme, every_console_example_prints_what_the_readme_shows) {
  const std::vector<Example> examples = readmeExamples();
  ASSERT_GE(examples.size(), 20u);
#if defined(_WIN32)
  GTEST_SKIP() << "runs the README examples in a POSIX shell";
#else
  for (const Example& e : examples) {
    const Outcome r = shellCommand(e.command);
    EXPECT_EQ(r.out, e.output) << "README line " << e.line << ": " << e.command;
  }
#endif
}

TEST(Readme, every_command_and_option_of_the_help_is_in_the_reference) {
  std::ifstream in(std::string(TAVOLIN_SOURCE_DIR) + "/README.md");
  std::ostringstream readme;
  readme << in.rdbuf();
  const std::string help = console({"--help"}).out;
  bool inCommands = false;
  size_t commands = 0;
  for (const std::string& line : lines(help)) {
    if (line == "commands:") inCommands = true;
    if (line.empty()) inCommands = false;
    if (inCommands && line.rfind("  ", 0) == 0 && line[2] != ' ') {
      const std::string synopsis = line.substr(2);
      EXPECT_NE(readme.str().find("`tavolin " + synopsis + "`"), std::string::npos) << synopsis;
      ++commands;
    }
    if (line.rfind("  --", 0) == 0) {
      const std::string option = line.substr(2, line.find(' ', 2) - 2);
      EXPECT_NE(readme.str().find("`" + option), std::string::npos) << option;
    }
  }
  EXPECT_GE(commands, 12u);
}

}  // namespace
}  // namespace clitest
