// --raw hands on exactly what the stub produced: each case runs one query in the console and
// the same query on a demo heap built here, and compares the bytes.
#include <gtest/gtest.h>

#include <functional>

#include "tests/cli/console.h"

namespace clitest {
namespace {

struct RawCase {
  const char* name;
  std::function<std::vector<std::string>(const cli::DemoHeap&)> args;
  std::function<std::string(simvm::Caller&, const cli::DemoHeap&)> expected;
};

std::string text(const std::string& s) { return s + "\n"; }

std::string pathLines(const simvm::PathResult& p) {
  if (p.array == 0) return p.message + "\n";
  std::string out;
  for (uint32_t h : p.handles) out += std::to_string(static_cast<int32_t>(h)) + "\n";
  return out;
}

const std::vector<RawCase>& rawCases() {
  static const std::vector<RawCase> cases = {
      {"census_by_name", [](const cli::DemoHeap&) { return std::vector<std::string>{"classes"}; },
       [](simvm::Caller& c, const cli::DemoHeap&) { return c.classes("", false, false).bytes; }},
      {"census_by_count_with_superclasses",
       [](const cli::DemoHeap&) {
         return std::vector<std::string>{"classes", "com/acme/", "--superclasses", "--by-count"};
       },
       [](simvm::Caller& c, const cli::DemoHeap&) {
         return c.classes("com/acme/", true, true).bytes;
       }},
      {"instances_with_subclasses",
       [](const cli::DemoHeap& d) {
         return std::vector<std::string>{"instances", hex(d.itemClass), "--subclasses"};
       },
       [](simvm::Caller& c, const cli::DemoHeap& d) {
         return c.handles(d.itemClass, true, 0).bytes;
       }},
      {"instances_arrays",
       [](const cli::DemoHeap&) {
         return std::vector<std::string>{"instances", "java.lang.Object", "--arrays"};
       },
       [](simvm::Caller& c, const cli::DemoHeap&) {
         return c.handles(simvm::Vm::current()->objectClass(), false, 1).bytes;
       }},
      {"refs_of_a_thread",
       [](const cli::DemoHeap& d) {
         return std::vector<std::string>{"refs", std::to_string(d.requestHandler)};
       },
       [](simvm::Caller& c, const cli::DemoHeap& d) {
         return c.references(d.requestHandler).bytes;
       }},
      {"referrers_of_the_table",
       [](const cli::DemoHeap& d) {
         return std::vector<std::string>{"referrers", hex(d.sessionTable)};
       },
       [](simvm::Caller& c, const cli::DemoHeap& d) { return c.referrers(d.sessionTable).bytes; }},
      {"usage_of_everything",
       [](const cli::DemoHeap&) { return std::vector<std::string>{"usage"}; },
       [](simvm::Caller& c, const cli::DemoHeap&) { return c.usage("").bytes; }},
      {"class_info",
       [](const cli::DemoHeap& d) {
         return std::vector<std::string>{"class-info", hex(d.itemClass)};
       },
       [](simvm::Caller& c, const cli::DemoHeap& d) { return text(c.classInfo(d.itemClass)); }},
      {"handle_info",
       [](const cli::DemoHeap& d) {
         return std::vector<std::string>{"info", hex(d.leakedSession)};
       },
       [](simvm::Caller& c, const cli::DemoHeap& d) {
         return text(c.handleInfo(d.leakedSession));
       }},
      {"path_found",
       [](const cli::DemoHeap& d) {
         return std::vector<std::string>{"path", hex(d.leakedSession)};
       },
       [](simvm::Caller& c, const cli::DemoHeap& d) {
         return pathLines(c.path(d.leakedSession, 100000));
       }},
      {"path_not_found",
       [](const cli::DemoHeap& d) {
         return std::vector<std::string>{"path", hex(d.weakThumbnail), "--max-nodes", "50"};
       },
       [](simvm::Caller& c, const cli::DemoHeap& d) {
         return pathLines(c.path(d.weakThumbnail, 50));
       }},
  };
  return cases;
}

class RawOutput : public ::testing::TestWithParam<size_t> {};

TEST_P(RawOutput, equals_the_stubs_own_output_on_the_same_heap) {
  const RawCase& rc = rawCases()[GetParam()];
  for (bool high : {false, true}) {
    if (high && !simvm::Vm::highPlacementAvailable()) continue;  // taken by the sanitizer's shadow
    std::string expected;
    std::vector<std::string> args;
    {
      DemoInProcess here(high);  // one query per fresh heap, as the console makes one
      args = rc.args(here.demo);
      expected = rc.expected(here.heap.call, here.demo);
    }
    args.insert(args.begin(), "--raw");
    if (high) args.insert(args.begin(), "--high");
    const Outcome r = console(args);
    EXPECT_EQ(r.out, expected) << rc.name << (high ? " above 2 GB" : "");
    EXPECT_EQ(r.status, rc.name == std::string("path_not_found") ? 1 : 0) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(EachQuery, RawOutput, ::testing::Range<size_t>(0, rawCases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return std::string(rawCases()[info.param].name);
                         });

TEST(RawOutputErrors, a_refused_description_is_written_as_the_library_wrote_it_with_status_1) {
  std::string expected;
  uint32_t notAClass = 0;
  {
    DemoInProcess here;
    notAClass = here.demo.leakedSession;
    expected = here.heap.call.classInfo(notAClass) + "\n";
  }
  ASSERT_EQ(expected.rfind("ERROR", 0), 0u);
  const Outcome r = console({"--raw", "class-info", hex(notAClass)});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, expected);
}

}  // namespace
}  // namespace clitest
