// Bad input of every kind: one clear line on standard error, nothing on standard output, and
// exit status 2 for a wrong command line, 3 for a name or handle that names nothing, 4 for a
// question that does not apply to what it names, 1 for anything else.
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
      {{"info", "banana"}, 3, "no class or handle 'banana'"},
      {{"info", "0x1g"}, 2, "bad handle"},
      {{"info", "4294967296"}, 2, "bad handle"},
      {{"info", "-2147483649"}, 2, "bad handle"},
      {{"info", "@7b"}, 2, "heap dump"},
      {{"path", "1", "--max-nodes", "-5"}, 2, "--max-nodes"},
      {{"path", "1", "--max-nodes"}, 2, "--max-nodes needs a number"},
      {{"path", "1", "--max-nodes="}, 2, "--max-nodes needs a number"},
      {{"--heap"}, 2, "--heap needs a value"},
      {{"help", "frobnicate"}, 2, "unknown command"},
      {{"demo", "--raw"}, 2, "drop --raw and --json"},
      // Usage errors come before a dump is loaded (this one does not exist: loading would fail).
      {{"--heap", "/nonexistent/x.hprof", "demo"}, 2, "without --heap"},
      {{"--heap", "/nonexistent/x.hprof", "info", "$1"}, 2, "rows exist in the shell"},
      {{"--heap", "/nonexistent/x.hprof", "refs", "0x100000000"}, 2, "handles are 32-bit"},
      {{"--heap", "/nonexistent/x.hprof", "threads", "--raw"}, 2, "no --raw form"},
      {{"--heap", "/nonexistent/x.hprof", "fields", "1", "--raw"}, 2, "no --raw form"},
      {{"--heap", "/nonexistent/x.hprof", "missing", "--raw"}, 2, "no --raw form"},
      {{"--heap", "/nonexistent/x.hprof", "path", "1", "--max-nodes", "x"}, 2, "--max-nodes"},
      {{"--heap", "/nonexistent/x.hprof", "instances", ""}, 2, "is empty"},
      {{"--heap", "a", "--heap", "b", "classes"}, 2, "--heap is given twice"},
      {{"--json", "--raw", "classes"}, 2, "not both"},
      {{"classes", "--raw", "--json"}, 2, "not both"},
      {{"--version", "extra"}, 2, "--version takes no command"},
      {{"refs", "$1"}, 2, "rows exist in the shell"},
      {{"classes", "--limit", "x"}, 2, "--limit needs a whole number"},
      {{"instances", "Session", "--skip", "x"}, 2, "--skip needs a whole number of rows, not 'x'"},
      {{"referrers", "1", "--skip", "-1"}, 2, "--skip needs a whole number"},
      {{"refs", "1", "--skip=99999999999"}, 2, "--skip needs a whole number"},
      {{"instances", "Session", "--skip"}, 2, "--skip needs a number"},
      {{"instances", "Session", "--skip", "1", "--raw"}, 2, "--skip shortens tables and JSON"},
      {{"classes", "--skip", "1"}, 2, "unknown option '--skip' for classes"},
      {{"--heap", "/nonexistent/x.hprof", "instances", "X", "--skip", "x"}, 2, "--skip needs"},
      {{"classes", "--limit", "2", "--raw"}, 2, "--limit"},
      {{"threads", "--raw"}, 2, "no --raw form"},
  };
  for (const ErrorCase& c : cases) expectOneErrorLine(console(c.args), c);
}

TEST(ConsoleErrors, lookups_that_find_nothing_exit_3_and_questions_that_do_not_apply_exit_4) {
  DemoInProcess here;
  const std::vector<ErrorCase> cases = {
      {{"instances", "com.acme.shop.Nothing"}, 3, "unknown class 'com.acme.shop.Nothing'"},
      {{"class-info", "session"}, 3, "did you mean com/acme/shop/Session?"},
      {{"class-info", "com.acme.shop.Sessio"}, 3, "did you mean com/acme/shop/Session?"},
      {{"instances", "Sesion"}, 3, "did you mean com/acme/shop/Session?"},
      {{"instances", hex(here.demo.leakedSession)}, 4, "is not a class"},
      {{"class-info", hex(here.demo.leakedSession)}, 4, "is not a valid class"},
      {{"info", "0"}, 3, "0x0 isn't a valid object"},
      {{"info", hex(here.demo.sessionTable + 4)}, 3, "isn't a valid object"},
      {{"path", "0"}, 3, "not an object"},
      // Handles that are no object of the heap are refused, not answered as if they were.
      {{"refs", "0"}, 3, "0x0 is not an object, array or class of the heap"},
      {{"refs", "-1"}, 3, "0xffffffff is not an object"},
      {{"refs", "1"}, 3, "0x1 is not an object"},
      {{"refs", std::to_string(here.demo.leakedSession + 1)}, 3, "is not an object"},
      {{"referrers", "0"}, 3, "0x0 is not an object"},
      {{"referrers", "-1"}, 3, "is not an object"},
      {{"referrers", "0x7fffffff"}, 3, "is not an object"},
      {{"fields", "0"}, 3, "is not an object"},
      // A name no class has is the same failure for every command, whatever it takes.
      {{"refs", "com.acme.shop.Sessio"}, 3, "did you mean com/acme/shop/Session?"},
      {{"path", "banana"}, 3, "no class or handle 'banana'"},
  };
  for (const ErrorCase& c : cases) {
    expectOneErrorLine(console(c.args), c);
    // With --json the failure is in the JSON as well, for a script that reads only that.
    std::vector<std::string> json{"--json"};
    json.insert(json.end(), c.args.begin(), c.args.end());
    const Outcome r = console(json);
    EXPECT_EQ(r.status, c.status) << json[1];
    EXPECT_EQ(r.out.rfind("{\"error\": \"", 0), 0u) << json[1] << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << json[1] << r.out;
  }
  // --raw shows what the library says of any value.
  EXPECT_EQ(console({"--raw", "refs", "0"}).status, 0);
}

// Every command of the tool's help: its usage line offers --raw exactly when --raw is taken,
// and a refusal says why before any other complaint about the options (--limit with --raw).
TEST(ConsoleErrors, raw_is_refused_exactly_where_the_usage_line_does_not_offer_it) {
  const Outcome help = console({"help"});
  size_t checked = 0;
  bool inCommands = false;
  for (const std::string& line : lines(help.out)) {
    if (line == "commands:") inCommands = true;
    if (line.empty()) inCommands = false;
    if (!inCommands || line.rfind("  ", 0) != 0 || line.rfind("   ", 0) == 0) continue;
    const std::string name = words(line)[0];
    if (name == "demo" || name == "shell" || name == "serve") continue;  // not one answer each
    const Outcome usage = console({"help", name});
    ASSERT_FALSE(usage.out.empty()) << name;
    const bool offered = lines(usage.out)[0].find("--raw") != std::string::npos;
    std::vector<std::string> args{"--raw", name};
    if (line.find(" HANDLE") != std::string::npos || line.find(" CLASS") != std::string::npos)
      args.push_back("com.acme.shop.SessionCache");
    std::vector<std::string> limited = args;
    limited.insert(limited.end(), {"--limit", "2"});
    for (const auto& a : {args, limited}) {
      const Outcome r = console(a);
      const bool refused = r.err.find("it has no --raw form") != std::string::npos;
      EXPECT_EQ(refused, !offered) << name << ": " << usage.out << r.err;
      if (refused) {
        EXPECT_EQ(r.status, 2) << name;
      }
    }
    ++checked;
  }
  EXPECT_GE(checked, 13u) << help.out;
}

TEST(ConsoleErrors, input_in_messages_is_cut_short_and_made_printable) {
#if defined(_WIN32)
  // A Windows command line holds at most 32767 characters: a longer one starts no process.
  const std::string huge(30000, 'x');
#else
  const std::string huge(100000, 'x');  // a megabyte is over the kernel's limit for one argument
#endif
  const std::string binary = "\x1b[2J\x07\xff\x01";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{huge},
        {"instances", huge},
        {"info", "0x" + huge},
        {"classes", "--" + huge},
        {binary},
        {"instances", binary},
        {"--heap", "/nonexistent/" + binary + huge, "classes"},
        {"--lib", "/nonexistent/" + binary + huge, "classes"},
        {"path", "1", "--max-nodes", binary + huge}}) {
    const Outcome r = console(args);
    EXPECT_NE(r.status, 0);
    EXPECT_LT(r.err.size(), 300u) << r.err.substr(0, 300);
    EXPECT_EQ(r.err.find_first_of(std::string("\x1b\x07\x01\xff", 4)), std::string::npos) << r.err;
    EXPECT_EQ(lines(r.err).size(), 1u);
  }
}

TEST(ConsoleErrors, output_that_cannot_be_written_is_a_failure) {
#if defined(_WIN32)
  GTEST_SKIP() << "runs the console from a POSIX shell, onto /dev/full";
#else
  const Outcome r = shellCommand("tavolin --json classes > /dev/full; echo status $?");
  EXPECT_EQ(r.out, "tavolin: error: cannot write the output: No space left on device\nstatus 1\n");
  // The tour fails its writes while it runs, long before the end: no "Success" then either.
  const Outcome tour = shellCommand("tavolin demo > /dev/full; echo status $?");
  EXPECT_EQ(tour.out.find("Success"), std::string::npos) << tour.out;
  EXPECT_NE(tour.out.find("tavolin: error: cannot write the output: "), std::string::npos);
  EXPECT_NE(tour.out.find("status 1\n"), std::string::npos) << tour.out;
#endif
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
                          "threads", "fields", "usage", "demo", "shell"}) {
    const std::string listed = std::string("\n  ") + cmd;
    EXPECT_TRUE(tool.out.find(listed + " ") != std::string::npos ||
                tool.out.find(listed + "\n") != std::string::npos)
        << cmd;
    const Outcome viaHelp = console({"help", cmd});
    const Outcome viaFlag = console({cmd, "--help"});
    EXPECT_EQ(viaHelp.status, 0) << cmd;
    EXPECT_EQ(viaFlag.status, 0) << cmd;
    EXPECT_EQ(viaHelp.out, viaFlag.out) << cmd;
    EXPECT_EQ(console({"--help", cmd}).out, viaHelp.out) << cmd;
    EXPECT_NE(viaHelp.out.find(std::string("usage: tavolin")), std::string::npos) << cmd;
  }
  EXPECT_NE(console({"path", "--help"}).out.find("--max-nodes"), std::string::npos);
  // A usage line advertises only what the command takes, and the command takes all of it.
  for (const char* cmd : {"demo", "threads", "fields", "missing"}) {
    const std::string usage = lines(console({"help", cmd}).out)[0];
    for (const char* option : {"--raw", "--heap", "--json", "--limit"}) {
      if (usage.find(option) != std::string::npos) continue;
      std::vector<std::string> args{option};
      if (std::string(option) == "--heap") args.push_back("/nonexistent/x.hprof");
      args.push_back(cmd);
      if (std::string(cmd) == "fields") args.push_back("1");
      if (std::string(option) == "--limit") args = {cmd, "--limit", "1"};
      EXPECT_NE(console(args).status, 0) << usage << ": " << option;
    }
  }
  for (const char* cmd : {"threads", "fields"})
    EXPECT_EQ(lines(console({"help", cmd}).out)[0].find("--raw"), std::string::npos) << cmd;
  EXPECT_EQ(lines(console({"help", "demo"}).out)[0].find("--heap"), std::string::npos);
  EXPECT_EQ(console({"missing", "--limit", "1", "--help"}).status, 0);
  const Outcome rawMissing = console({"--raw", "missing"});
  EXPECT_EQ(rawMissing.status, 2) << rawMissing.out;
  EXPECT_EQ(rawMissing.out, "");
  EXPECT_EQ(console({"help", "help"}).status, 0);
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
