// The shell driven through its standard input, as a script would drive it.
#include <gtest/gtest.h>

#include "tests/cli/console.h"

namespace clitest {
namespace {

TEST(ConsoleShell, rows_of_the_last_result_walk_from_census_to_path_without_copying_numbers) {
  DemoInProcess here;
  const cli::DemoHeap& d = here.demo;
  const size_t leakedRow = 4;  // the leaked session is the fourth session made
  ASSERT_EQ(d.sessions[leakedRow - 1], d.leakedSession);
  const Outcome r = console({"shell"},
                            "classes com/acme/shop/Session\n"
                            "instances $1\n"
                            "path $" +
                                std::to_string(leakedRow) +
                                "\n"
                                "info $1\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find(std::to_string(d.sessions.size()) + " instances of com/acme/shop/Session"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("is held by a chain of 4 links from class com/acme/shop/SessionCache"),
            std::string::npos)
      << r.out;
  // $1 of the path is its root: the class that holds the cache.
  EXPECT_NE(lineWith(r.out, "toString").find("class com.acme.shop.SessionCache"), std::string::npos)
      << r.out;
}

TEST(ConsoleShell, errors_are_reported_and_the_shell_goes_on_until_quit) {
  const Outcome r = console({"shell"},
                            "frobnicate\n"
                            "refs $3\n"
                            "info 'unclosed\n"
                            "shell\n"
                            "classes com.acme.shop.SessionCache --superclasses\n"
                            "quit\n"
                            "classes\n");
  EXPECT_EQ(r.status, 1) << "a script with failed commands fails";
  const std::vector<std::string> errors = lines(r.err);
  ASSERT_EQ(errors.size(), 4u) << r.err;
  EXPECT_NE(errors[0].find("line 1: unknown command 'frobnicate' (see help)"), std::string::npos);
  EXPECT_NE(errors[1].find("line 2: $3"), std::string::npos);
  EXPECT_NE(errors[2].find("line 3: unclosed"), std::string::npos);
  EXPECT_NE(errors[3].find("line 4: already in the shell"), std::string::npos);
  EXPECT_NE(r.out.find("no class name begins with 'com/acme/shop/SessionCache'"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("java/lang/String"), std::string::npos) << "nothing after quit runs";
}

TEST(ConsoleShell, help_describes_the_shell_and_exit_takes_a_status) {
  const Outcome r = console({"shell"}, "help\nhelp quit\nhelp exit\nexit 3\nclasses\n");
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("quit [STATUS]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  instances CLASS"), std::string::npos) << r.out;
  // The tool's own options mean nothing inside the shell.
  EXPECT_EQ(r.out.find("--heap"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("--version"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("java/lang/String"), std::string::npos) << "nothing after exit runs";
  EXPECT_EQ(console({"shell"}, "quit 0\n").status, 0);
  EXPECT_EQ(console({"shell"}, "exit 256\n").status, 1);  // refused, then the end of input
}

TEST(ConsoleShell, output_modes_apply_per_line_and_end_of_input_leaves) {
  DemoInProcess here;
  std::string raw = here.heap.call.handleInfo(here.demo.worker);
  const Outcome r = console({"--json", "shell"},
                            "info " + hex(here.demo.worker) + " --raw\nusage com/acme/shop/Cart\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind(raw + "\n[\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\"class\": \"com/acme/shop/Cart\""), std::string::npos) << r.out;
}

struct Script {
  std::string lines;
  int status;
  std::string out, err;  // fragments expected; "" expects that stream empty
};

TEST(ConsoleShell, scripts_keep_rows_take_flags_anywhere_and_comment) {
  DemoInProcess here;
  const std::string second = hex(here.demo.sessions[1]), third = hex(here.demo.sessions[2]);
  const std::vector<Script> scripts = {
      // Descriptions and empty lists leave the rows of the last list alone.
      {"instances Session\ninfo $2\ninfo $3\n", 0, "handle    " + third, ""},
      {"instances Session\nclasses nothing\ninfo $2\n", 0, "handle    " + second, ""},
      // The tool's output options may open a line, as on the command line.
      {"instances Session\n--json info $2\n", 0,
       "\"kind\": \"I\", \"handle\": " + std::to_string(here.demo.sessions[1]), ""},
      {"--raw --json classes\n", 1, "", "line 1: give one of --raw and --json"},
      {"# a census of carts\nclasses com/acme/shop/Cart  # all of them\n", 0, "1 record", ""},
      {"info 1 2\n", 1, "", "line 1: too many arguments: usage: info HANDLE\n"},
      {"--json info 0\n", 1, "{\"error\": \"line 1: 0x0 isn't a valid object\"}", "line 1:"},
      {"help help\n", 0, "usage: help [COMMAND]", ""},
  };
  for (const Script& sc : scripts) {
    const Outcome r = console({"shell"}, sc.lines);
    EXPECT_EQ(r.status, sc.status) << sc.lines << r.err;
    EXPECT_NE(r.out.find(sc.out), std::string::npos) << sc.lines << r.out;
    if (sc.err.empty())
      EXPECT_EQ(r.err, "") << sc.lines;
    else
      EXPECT_NE(r.err.find(sc.err), std::string::npos) << sc.lines << r.err;
  }
}

TEST(ConsoleShell, ctrl_c_at_the_prompt_returns_to_the_prompt_with_the_heap_kept) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs POSIX signals and a pseudo-terminal";
#else
  const Outcome r =
      consoleInterrupted({"shell"}, "instances Session\n", "12 instances", "info $4\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Session[S-1004"), std::string::npos) << r.out;
#endif
}

#ifdef TAVOLIN_HAVE_EDITLINE
// On a terminal: Tab completes commands and class names, and the completed line runs. (Ctrl-C at
// the prompt is checked over a pipe above: how libedit passes a Ctrl-C typed on a terminal on
// depends on timing the test cannot control.)
TEST(ConsoleShell, on_a_terminal_tab_completes_commands_and_class_names) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs a pseudo-terminal";
#else
  Terminal t({"shell"});
  ASSERT_NE(t.readUntil("tavolin> ").find("Tab completes"), std::string::npos);
  t.type("instan\t");
  EXPECT_NE(t.readUntil("ces").find("ces"), std::string::npos);
  t.type(" com/acme/shop/SessionC\t");
  EXPECT_NE(t.readUntil("ache").find("ache"), std::string::npos);
  t.type("\n");
  const std::string listed = t.readUntil("tavolin> ");
  EXPECT_NE(listed.find("0 instances of com/acme/shop/SessionCache"), std::string::npos) << listed;
  t.type("quit\n");
  EXPECT_EQ(t.wait(), 0);
#endif
}

// Characters beyond ASCII typed at the prompt reach the command whole, whatever the locale.
TEST(ConsoleShell, on_a_terminal_non_ascii_characters_are_kept) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs a pseudo-terminal";
#else
  // The "C" locale, as a terminal without LANG has it.
  for (const char* name : {"LANG", "LC_ALL", "LC_CTYPE"}) unsetenv(name);
  Terminal t({"shell"});
  t.readUntil("tavolin> ");
  t.type("instances Shop$\u00dcn\u00efc\u00f6d\u00e9\n");
  const std::string answer = t.readUntil("tavolin> ");
  EXPECT_NE(answer.find("unknown class 'Shop$\u00dcn\u00efc\u00f6d\u00e9'"), std::string::npos)
      << answer;
  t.type("quit\n");
  EXPECT_EQ(t.wait(), 1);
#endif
}
#endif

}  // namespace
}  // namespace clitest
