// Bad input of every kind: one clear line on standard error, nothing on standard output, and
// exit status 2 for a wrong command line, 1 for anything else.
#include <gtest/gtest.h>

#include <fstream>

#include "simvm/platform.h"
#include "tests/cli/console.h"

namespace clitest {
namespace {

struct ErrorCase {
  std::vector<std::string> args;
  int status;
  const char* says;  // part of the message
};

void expectOneErrorLine(const Outcome& r, const ErrorCase& c) {
  std::string all;
  for (const std::string& a : c.args) all += a + " ";
  EXPECT_EQ(r.status, c.status) << all << r.err;
  EXPECT_EQ(r.out, "") << all;
  EXPECT_EQ(r.err.rfind("tavolin: error: ", 0), 0u) << all << r.err;
  EXPECT_EQ(lines(r.err).size(), 1u) << all << r.err;
  EXPECT_NE(r.err.find(c.says), std::string::npos) << all << r.err;
}

TEST(ConsoleErrors, wrong_command_lines_exit_with_status_2) {
  const std::vector<ErrorCase> cases = {
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"--frob", "classes"}, 2, "unknown option '--frob'"},
      {{"classes", "--frob"}, 2, "unknown option '--frob' for classes"},
      {{"info"}, 2, "too few arguments"},
      {{"info", "1", "2"}, 2, "too many arguments"},
      {{"info", "banana"}, 2, "bad handle 'banana'"},
      {{"info", "0x1g"}, 2, "bad handle"},
      {{"info", "4294967296"}, 2, "bad handle"},
      {{"info", "-2147483649"}, 2, "bad handle"},
      {{"info", "@7b"}, 2, "heap dump"},
      {{"path", "1", "--max-nodes", "-5"}, 2, "--max-nodes"},
      {{"path", "1", "--max-nodes"}, 2, "--max-nodes needs a number"},
      {{"--heap"}, 2, "--heap needs a value"},
      {{"help", "frobnicate"}, 2, "unknown command"},
      {{"--json", "demo"}, 2, "drop --raw and --json"},
  };
  for (const ErrorCase& c : cases) expectOneErrorLine(console(c.args), c);
}

TEST(ConsoleErrors, lookups_that_find_nothing_exit_with_status_1) {
  DemoInProcess here;
  const std::vector<ErrorCase> cases = {
      {{"instances", "com.acme.shop.Nothing"}, 1, "unknown class 'com.acme.shop.Nothing'"},
      {{"class-info", "Session"}, 1, "did you mean com/acme/shop/Session?"},
      {{"instances", hex(here.demo.leakedSession)}, 1, "is not a class"},
      {{"class-info", hex(here.demo.leakedSession)}, 1, "is not a valid class"},
      {{"info", "0"}, 1, "0x0 isn't a valid object"},
      {{"info", hex(here.demo.sessionTable + 4)}, 1, "isn't a valid object"},
      {{"refs", "$1"}, 1, "no earlier result"},
      {{"path", "0"}, 1, "not an object"},
  };
  for (const ErrorCase& c : cases) expectOneErrorLine(console(c.args), c);
}

TEST(ConsoleErrors, a_missing_library_or_heap_dump_is_reported_not_crashed_on) {
  expectOneErrorLine(console({"--lib", "/nonexistent/lib", "classes"}),
                     {{}, 1, simvm::platform::libraryFileName()});
  expectOneErrorLine(console({"--heap", "/nonexistent/heap.hprof", "classes"}),
                     {{}, 1, "/nonexistent/heap.hprof"});
}

TEST(ConsoleErrors, a_damaged_heap_dump_names_the_byte_where_reading_stopped) {
  const std::string path = "/tmp/tavolin-cli-damaged-" +
                           std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                           ".hprof";
  const std::vector<std::string> contents = {
      std::string("this is not a heap dump at all"),
      std::string("JAVA PROFILE 1.0.2\0\0\0\0\x08\0\0\0\0\0\0\0\0\x0c\0\0\0\0\0\0\xff\xff",
                  40),  // a record cut short
  };
  for (const std::string& bytes : contents) {
    std::ofstream(path, std::ios::binary) << bytes;
    const Outcome r = console({"--heap", path, "classes"});
    expectOneErrorLine(r, {{}, 1, "at byte"});
  }
  std::remove(path.c_str());
}

TEST(ConsoleHelp, help_is_there_for_the_tool_and_for_every_command) {
  const Outcome tool = console({"--help"});
  EXPECT_EQ(tool.status, 0);
  for (const char* cmd : {"classes", "instances", "class-info", "info", "refs", "referrers", "path",
                          "usage", "demo", "shell"}) {
    EXPECT_NE(tool.out.find(std::string("\n  ") + cmd + " "), std::string::npos) << cmd;
    const Outcome viaHelp = console({"help", cmd});
    const Outcome viaFlag = console({cmd, "--help"});
    EXPECT_EQ(viaHelp.status, 0) << cmd;
    EXPECT_EQ(viaFlag.status, 0) << cmd;
    EXPECT_EQ(viaHelp.out, viaFlag.out) << cmd;
    EXPECT_NE(viaHelp.out.find(std::string("usage: tavolin")), std::string::npos) << cmd;
  }
  EXPECT_NE(console({"path", "--help"}).out.find("--max-nodes"), std::string::npos);
  const Outcome none = console({});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("usage: tavolin"), std::string::npos);
}

TEST(ConsoleHelp, version_names_the_tool_and_a_release) {
  const Outcome r = console({"--version"});
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> w = words(r.out);
  ASSERT_EQ(w.size(), 2u) << r.out;
  EXPECT_EQ(w[0], "tavolin");
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(w[1][0]))) << r.out;
}

}  // namespace
}  // namespace clitest
