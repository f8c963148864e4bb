// dominators, retained and the retained columns, run as a process on the demo heap and checked
// against the dominator tree of the same heap built here, and against their own sums.
#include <gtest/gtest.h>

#include "heapgraph/retained.h"
#include "tests/cli/console.h"

#ifdef TAVOLIN_HAVE_JSON
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

using nlohmann::json;

class RetainedOnDemoHeap : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    here_ = new DemoInProcess();
    tree_ = heapgraph::HeapDominators::compute(here_->heap.vm).release();
  }
  static void TearDownTestSuite() {
    delete tree_;
    delete here_;
  }
  static DemoInProcess* here_;
  static heapgraph::HeapDominators* tree_;
};

DemoInProcess* RetainedOnDemoHeap::here_ = nullptr;
heapgraph::HeapDominators* RetainedOnDemoHeap::tree_ = nullptr;

TEST_F(RetainedOnDemoHeap, dominators_lists_the_largest_retained_sizes_of_the_heap) {
  const json j = jsonOf({"dominators", "--limit", "12"});
  const std::vector<uint32_t> expected = tree_->largest(12);
  ASSERT_EQ(j.size(), expected.size());
  for (size_t i = 0; i < j.size(); ++i) {
    EXPECT_EQ(j[i]["handle"], expected[i]) << i;
    EXPECT_EQ(j[i]["retained"], tree_->retained(expected[i])) << i;
    if (i > 0) {
      EXPECT_LE(j[i]["retained"], j[i - 1]["retained"]) << i;
    }
  }
  const Outcome table = console({"dominators"});
  EXPECT_NE(table.out.find(std::to_string(tree_->total()) + " bytes (the first 20 shown)"),
            std::string::npos)
      << table.out;
}

TEST_F(RetainedOnDemoHeap, an_objects_figure_is_its_own_bytes_and_what_it_immediately_dominates) {
  const uint32_t table = here_->demo.sessionTable;
  for (uint32_t h : {table, here_->heap.vm.getField(table, "table"), here_->demo.sessionClass}) {
    const json j = jsonOf({"retained", hex(h)});
    ASSERT_GE(j.size(), 1u);
    uint64_t sum = j[0]["shallow"];
    for (size_t i = 1; i < j.size(); ++i) {
      sum += j[i]["retained"].get<uint64_t>();
      if (i > 1) {
        EXPECT_LE(j[i]["retained"], j[i - 1]["retained"]);
      }
    }
    EXPECT_EQ(j[0]["retained"], sum) << hex(h);
    EXPECT_EQ(j[0]["retained"], tree_->retained(h)) << hex(h);
    EXPECT_EQ(j[0]["dominated"], j.size() - 1) << hex(h);
  }
}

TEST_F(RetainedOnDemoHeap, a_classs_figure_is_the_sum_over_its_top_level_instances) {
  const json j = jsonOf({"retained", "com.acme.shop.Session"});
  ASSERT_GE(j.size(), 2u);
  uint64_t sum = 0;
  for (size_t i = 1; i < j.size(); ++i) sum += j[i]["retained"].get<uint64_t>();
  EXPECT_EQ(j[0]["retained"], sum);
  EXPECT_EQ(j[0]["retained"], tree_->classRetained(here_->demo.sessionClass));
  // The census column shows the same figure.
  const Outcome classes = console({"classes", "com.acme.shop.Session", "--retained"});
  EXPECT_EQ(words(lineWith(classes.out, "com/acme/shop/Session")).back(), std::to_string(sum))
      << classes.out;
}

TEST_F(RetainedOnDemoHeap, instances_and_path_carry_each_rows_retained_size) {
  const json thumbnails = jsonOf({"instances", "com.acme.shop.Thumbnail"});
  bool unreachable = false;
  for (const json& r : thumbnails) {
    const uint32_t h = r["handle"];
    if (tree_->reachable(h)) {
      EXPECT_EQ(r["retained"], tree_->retained(h));
    } else {
      EXPECT_TRUE(r["retained"].is_null()) << h;
      unreachable = true;
    }
  }
  EXPECT_TRUE(unreachable) << "the demo's weakly held thumbnail should be reachable from no root";
  const Outcome table = console({"instances", "com.acme.shop.Thumbnail"});
  EXPECT_NE(table.out.find(" -\n"), std::string::npos) << table.out;

  const json path = jsonOf({"path", hex(here_->demo.leakedSession)});
  ASSERT_GE(path.size(), 2u);
  for (const json& r : path) EXPECT_EQ(r["retained"], tree_->retained(r["handle"]));
  // Down a chain the figures never grow.
  for (size_t i = 2; i < path.size(); ++i) EXPECT_LE(path[i]["retained"], path[i - 1]["retained"]);
}

TEST(RetainedCommands, refuse_raw_output_and_have_help) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--raw", "dominators"},
                                               {"--raw", "retained", "Session"},
                                               {"--raw", "classes", "--retained"}}) {
    const Outcome r = console(args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_NE(r.err.find("--raw"), std::string::npos) << r.err;
  }
  for (const char* command : {"dominators", "retained"}) {
    const Outcome help = console({"help", command});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("retained size"), std::string::npos) << help.out;
  }
  const Outcome unknown = console({"retained", "com.acme.NoSuchClass"});
  EXPECT_EQ(unknown.status, 3) << unknown.err;
}

}  // namespace
}  // namespace clitest
#endif
