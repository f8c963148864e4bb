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
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> errors = lines(r.err);
  ASSERT_EQ(errors.size(), 4u) << r.err;
  EXPECT_NE(errors[0].find("unknown command 'frobnicate'"), std::string::npos);
  EXPECT_NE(errors[1].find("$3"), std::string::npos);
  EXPECT_NE(errors[2].find("unclosed"), std::string::npos);
  EXPECT_NE(errors[3].find("already in the shell"), std::string::npos);
  EXPECT_NE(r.out.find("no class name begins with 'com/acme/shop/SessionCache'"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("java/lang/String"), std::string::npos) << "nothing after quit runs";
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

}  // namespace
}  // namespace clitest
