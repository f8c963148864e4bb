// --json: one array of records with named fields, checked against the decoded reports of the
// same queries run here.
#include <gtest/gtest.h>

#include "cli/query_commands.h"
#include "tests/cli/console.h"

#ifdef TAVOLIN_HAVE_JSON
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

using nlohmann::json;

void expectSameRecords(const json& j, const simvm::Report& report) {
  ASSERT_EQ(j.size(), report.records.size());
  for (size_t i = 0; i < j.size(); ++i) {
    const simvm::Record& r = report.records[i];
    EXPECT_EQ(j[i]["kind"], std::string(1, r.kind)) << i;
    EXPECT_EQ(j[i]["handle"], r.handle) << i;
    EXPECT_EQ(j[i]["class"], r.className) << i;
  }
}

TEST(JsonOutput, census_records_carry_kind_handle_class_and_count) {
  simvm::Report expected;
  {
    DemoInProcess here;
    expected = here.heap.call.classes("com/acme/", false, true);
  }
  const json j = jsonOf({"classes", "com.acme.", "--by-count"});
  expectSameRecords(j, expected);
  for (size_t i = 0; i < j.size(); ++i)
    EXPECT_EQ(j[i]["count"], std::stoi(expected.records[i].detail));
}

TEST(JsonOutput, reference_records_say_how_the_object_is_held) {
  DemoInProcess here;
  const cli::DemoHeap d = here.demo;
  const simvm::Report expected = here.heap.call.referrers(d.sessionTable);
  const json j = jsonOf({"referrers", hex(d.sessionTable)});
  expectSameRecords(j, expected);
  bool sawStatic = false, sawLocal = false;
  for (const json& r : j) {
    if (r["handle"] == d.sessionCacheClass) {
      EXPECT_EQ(r["via"], "static");
      EXPECT_EQ(r["field"], "sessions");
      sawStatic = true;
    }
    if (r["handle"] == d.worker) {
      EXPECT_EQ(r["via"], "local");
      EXPECT_EQ(r["method"], "sweep");
      EXPECT_EQ(r["class"], here.heap.vm.className(here.heap.vm.classOfObject(d.worker)));
      sawLocal = true;
    }
  }
  EXPECT_TRUE(sawStatic && sawLocal) << j.dump(1);

  const json elements = jsonOf({"refs", hex(here.heap.vm.getField(d.sessionTable, "table"))});
  ASSERT_FALSE(elements.empty());
  for (const json& r : elements) {
    EXPECT_EQ(r["via"], "element");
    EXPECT_TRUE(r["index"].is_number_integer());
  }
}

TEST(JsonOutput, path_records_go_from_the_root_to_the_target) {
  DemoInProcess here;
  const simvm::PathResult expected =
      here.heap.call.path(here.demo.leakedSession, cli::kDefaultMaxNodes);
  const json j = jsonOf({"path", hex(here.demo.leakedSession)});
  ASSERT_EQ(j.size(), expected.handles.size());
  for (size_t i = 0; i < j.size(); ++i) EXPECT_EQ(j[i]["handle"], expected.handles[i]);
  EXPECT_EQ(j[0]["root"], "class");
  EXPECT_EQ(j[1]["via"], "static");
  EXPECT_EQ(j[1]["field"], "sessions");
  EXPECT_EQ(j.back()["class"], "com/acme/shop/Session");
}

TEST(JsonOutput, descriptions_are_split_into_named_fields) {
  DemoInProcess here;
  const json cls = jsonOf({"class-info", "com/acme/shop/Item"});
  ASSERT_EQ(cls.size(), 1u);
  EXPECT_EQ(cls[0]["abstract"], true);
  EXPECT_EQ(cls[0]["secondName"], "Item.java");
  EXPECT_EQ(cls[0]["instanceSize"], here.heap.vm.instanceSize(here.demo.itemClass));
  EXPECT_EQ(cls[0]["text"], here.heap.call.classInfo(here.demo.itemClass));

  const json obj = jsonOf({"info", hex(here.demo.leakedSession)});
  ASSERT_EQ(obj.size(), 1u);
  EXPECT_EQ(obj[0]["kind"], "I");  // the letters the lists use
  EXPECT_EQ(obj[0]["handle"], here.demo.leakedSession);
  EXPECT_EQ(obj[0]["text"], here.heap.call.handleInfo(here.demo.leakedSession));

  const uint32_t table = here.heap.vm.getField(here.demo.sessionTable, "table");
  const json arr = jsonOf({"info", hex(table)});
  EXPECT_EQ(arr[0]["kind"], "A");
  EXPECT_EQ(arr[0]["length"], here.heap.vm.arrayLength(table));
}

TEST(JsonOutput, usage_records_match_the_usage_report) {
  simvm::UsageReport expected;
  {
    DemoInProcess here;
    expected = here.heap.call.heapUsage("");  // the heap, without the call's own objects
  }
  const json j = jsonOf({"usage"});
  ASSERT_EQ(j.size(), expected.records.size());
  for (size_t i = 0; i < j.size(); ++i) {
    EXPECT_EQ(j[i]["class"], expected.records[i].className);
    EXPECT_EQ(j[i]["count"], expected.records[i].count);
    EXPECT_EQ(j[i]["bytes"], expected.records[i].bytes);
  }
}

}  // namespace
}  // namespace clitest
#endif  // TAVOLIN_HAVE_JSON
