// Each command on the demo heap, read as a person reads the tables.
//
//   SessionCache.sessions ──► HashTable ──► Entry[] ──► Entry ──► leaked Session
//   request-handler: process() locals ──► cart, product, heldThumbnail
//   worker-1: sweep() locals ──► HashTable, an Entry
//   ThumbnailCache.refs ──► ArrayList ──► Object[] ──► WeakReference ┄┄► weakThumbnail
//   main (the caller): main() locals ──► Application
#include <gtest/gtest.h>

#include "tests/cli/console.h"

namespace clitest {
namespace {

class ConsoleOnDemoHeap : public ::testing::Test {
 protected:
  DemoInProcess here;
  const cli::DemoHeap& demo() { return here.demo; }
  simvm::Vm& vm() { return here.heap.vm; }
};

// The table row whose columns include `handle` in hex, split into words.
std::vector<std::string> rowOf(const std::string& table, uint32_t handle) {
  return words(lineWith(table, hex(handle) + " "));
}

TEST_F(ConsoleOnDemoHeap, census_lists_the_leaking_class_with_its_instance_count) {
  const Outcome r = console({"classes", "com/acme/", "--by-count"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> row = rowOf(r.out, demo().sessionClass);
  ASSERT_EQ(row.size(), 6u) << r.out;
  EXPECT_EQ(row[1], "C");
  EXPECT_EQ(row[3], std::to_string(demo().sessionClass));
  EXPECT_EQ(row[4], "com/acme/shop/Session");
  EXPECT_EQ(row[5], std::to_string(demo().sessions.size()));
  // Sorted by count: no row below the Session row has a larger count.
  bool below = false;
  for (const std::string& line : lines(r.out)) {
    const std::vector<std::string> w = words(line);
    if (w.size() == 6 && w[4] == "com/acme/shop/Session") {
      below = true;
    } else if (below && w.size() == 6 && w[1] != "kind") {
      EXPECT_LE(std::stoi(w[5]), int(demo().sessions.size())) << line;
    }
  }
}

TEST_F(ConsoleOnDemoHeap, census_takes_a_dotted_prefix_and_credits_superclasses_on_request) {
  const Outcome plain = console({"classes", "com.acme.shop.Item"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(rowOf(plain.out, demo().itemClass).size(), 0u)
      << "an abstract class has no instances of its own";
  const Outcome credited = console({"classes", "com.acme.shop.Item", "--superclasses"});
  const std::vector<std::string> row = rowOf(credited.out, demo().itemClass);
  ASSERT_EQ(row.size(), 6u) << credited.out;
  EXPECT_EQ(row[5], "5");  // three products and two digital products
}

TEST_F(ConsoleOnDemoHeap, instances_lists_every_session_in_handle_order) {
  const Outcome r = console({"instances", "com.acme.shop.Session"});
  ASSERT_EQ(r.status, 0) << r.err;
  size_t at = 0;
  for (uint32_t s : demo().sessions) {
    const size_t found = r.out.find(hex(s) + " ");
    ASSERT_NE(found, std::string::npos) << hex(s);
    EXPECT_GT(found, at);
    at = found;
  }
}

TEST_F(ConsoleOnDemoHeap, instances_of_an_abstract_class_need_subclasses_and_arrays_need_the_flag) {
  EXPECT_NE(console({"instances", "com/acme/shop/Item"}).out.find("0 instances"),
            std::string::npos);
  const Outcome sub = console({"instances", "com/acme/shop/Item", "--subclasses"});
  EXPECT_NE(sub.out.find("5 instances of com/acme/shop/Item and its subclasses"), std::string::npos)
      << sub.out;
  const Outcome arrays = console({"instances", "com/acme/util/HashTable$Entry", "--arrays"});
  const std::vector<std::string> row =
      rowOf(arrays.out, vm().getField(demo().sessionTable, "table"));
  ASSERT_EQ(row.size(), 6u) << arrays.out;  // with its retained size
  EXPECT_EQ(row[1], "A");
}

TEST_F(ConsoleOnDemoHeap, class_info_shows_the_description_field_by_field) {
  const Outcome item = console({"class-info", "com/acme/shop/Item"});
  ASSERT_EQ(item.status, 0) << item.err;
  EXPECT_EQ(words(lineWith(item.out, "abstract")), (std::vector<std::string>{"abstract", "true"}));
  EXPECT_EQ(words(lineWith(item.out, "second name")).back(), "Item.java");
  const Outcome session = console({"class-info", hex(demo().sessionClass)});
  EXPECT_EQ(words(lineWith(session.out, "abstract")).back(), "false");
  EXPECT_EQ(words(lineWith(session.out, "instance size"))[2],
            std::to_string(vm().instanceSize(demo().sessionClass)));
}

TEST_F(ConsoleOnDemoHeap, info_shows_what_the_objects_own_toString_says) {
  const Outcome r = console({"info", std::to_string(demo().leakedSession)});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string id = vm().stringValue(vm().getField(demo().leakedSession, "id"));
  const std::string text = lineWith(r.out, "toString");
  EXPECT_NE(text.find(id), std::string::npos) << r.out;
  EXPECT_NE(text.find("expired"), std::string::npos) << r.out;
  EXPECT_NE(lineWith(r.out, "class").find("com/acme/shop/Session"), std::string::npos);
}

TEST_F(ConsoleOnDemoHeap, refs_of_a_thread_show_its_fields_and_the_locals_of_its_frames) {
  const Outcome r = console({"refs", hex(demo().requestHandler)});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(rowOf(r.out, demo().heldThumbnail).size(), 0u) << r.out;
  EXPECT_NE(lineWith(r.out, hex(demo().heldThumbnail)).find("local in process()"),
            std::string::npos);
  EXPECT_NE(lineWith(r.out, "field name").find("java/lang/String"), std::string::npos) << r.out;
}

TEST_F(ConsoleOnDemoHeap, referrers_name_the_static_field_and_the_method_that_hold_the_table) {
  const Outcome r = console({"referrers", hex(demo().sessionTable)});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string byClass = lineWith(r.out, hex(demo().sessionCacheClass));
  EXPECT_NE(byClass.find("static sessions"), std::string::npos) << r.out;
  EXPECT_EQ(words(byClass)[1], "C");
  const std::vector<std::string> byThread = words(lineWith(r.out, hex(demo().worker)));
  ASSERT_EQ(byThread.size(), 8u) << r.out;
  EXPECT_EQ(byThread[4], vm().className(vm().classOfObject(demo().worker)))
      << "the row names the thread's class";
  EXPECT_EQ(byThread[5] + " " + byThread[6] + " " + byThread[7], "local in sweep()");
}

TEST_F(ConsoleOnDemoHeap, path_of_the_leaked_session_starts_at_the_static_field_of_the_cache) {
  const Outcome r = console({"path", hex(demo().leakedSession)});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : lines(r.out)) {
    std::vector<std::string> w = words(line);
    if (w.size() >= 5 && w[0] == std::to_string(rows.size() + 1)) rows.push_back(w);
  }
  ASSERT_EQ(rows.size(), 5u) << r.out;
  EXPECT_EQ(rows[0][2], hex(demo().sessionCacheClass));
  EXPECT_EQ(rows[0][4], "com/acme/shop/SessionCache");
  EXPECT_EQ(rows[1][2], hex(demo().sessionTable));
  EXPECT_EQ(rows[1][5] + " " + rows[1][6], "static sessions");
  EXPECT_EQ(rows[2][1], "A");
  EXPECT_EQ(rows[3][5], "element");
  EXPECT_EQ(rows[4][2], hex(demo().leakedSession));
  EXPECT_EQ(rows[4][5] + " " + rows[4][6], "field value");
}

TEST_F(ConsoleOnDemoHeap, path_through_another_threads_local_names_the_thread_and_method) {
  const Outcome r = console({"path", hex(demo().heldThumbnail)});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(lineWith(r.out, hex(demo().requestHandler)).find("root: thread \"request-handler\""),
            std::string::npos)
      << r.out;
  EXPECT_NE(lineWith(r.out, hex(demo().heldThumbnail)).find("local in process()"),
            std::string::npos)
      << r.out;
}

TEST_F(ConsoleOnDemoHeap,
       path_through_an_array_of_arrays_still_names_the_static_field_that_holds_it) {
  // Catalog.categories ──► String[][] ──► String[]: refs of the class leave out fields that
  // hold arrays of arrays, so the link has to be found from the other end.
  const uint32_t catalog = vm().findClass("com/acme/shop/Catalog");
  const uint32_t categories = vm().getStatic(catalog, "categories");
  const uint32_t inner = vm().getElement(categories, 1);
  const Outcome r = console({"path", hex(inner)});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(lineWith(r.out, hex(catalog)).find("root: class"), std::string::npos) << r.out;
  EXPECT_NE(lineWith(r.out, hex(categories)).find("static categories"), std::string::npos) << r.out;
  EXPECT_NE(lineWith(r.out, hex(inner)).find("element [1]"), std::string::npos) << r.out;
}

TEST_F(ConsoleOnDemoHeap, path_fails_for_objects_held_weakly_or_only_by_the_caller) {
  for (uint32_t h : {demo().weakThumbnail, demo().application}) {
    const Outcome r = console({"path", hex(h)});
    EXPECT_EQ(r.status, 1) << hex(h);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Search Failed"), std::string::npos) << r.err;
    // For a script no path is an answer, not a failure: the same sentence, in its own field.
    const Outcome json = console({"--json", "path", hex(h)});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"handle\": " + std::to_string(h) +
                                 ", \"noPath\": \"no path to a root for " + hex(h),
                             0),
              0u)
        << json.out;
    EXPECT_NE(json.out.find("Search Failed"), std::string::npos) << json.out;
  }
  const Outcome limited = console({"path", hex(demo().leakedSession), "--max-nodes", "1"});
  EXPECT_EQ(limited.status, 1);
  EXPECT_NE(limited.err.find("Exceeded maximum nodes"), std::string::npos) << limited.err;
}

TEST_F(ConsoleOnDemoHeap, usage_charges_the_sessions_their_buffers) {
  const Outcome r = console({"usage", "com.acme."});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> row = words(lineWith(r.out, "com/acme/shop/Session "));
  ASSERT_EQ(row.size(), 4u) << r.out;
  EXPECT_EQ(row[0], "1") << "the sessions hold the most memory";
  EXPECT_EQ(row[2], std::to_string(demo().sessions.size()));
  const uint32_t buffer = vm().getField(demo().leakedSession, "buffer");
  EXPECT_GE(std::stoll(row[3]), int64_t(demo().sessions.size()) * (vm().methodsOf(buffer) >> 5));
}

TEST_F(ConsoleOnDemoHeap, demo_tours_all_eight_queries_and_ends_with_the_leak) {
  const Outcome r = console({"demo"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* cmd :
       {"classes", "usage", "class-info", "instances", "info", "refs", "referrers", "path"})
    EXPECT_NE(r.out.find(std::string("$ tavolin ") + cmd + " "), std::string::npos) << cmd;
  EXPECT_EQ(r.out.find("error"), std::string::npos) << r.out;
  // One referrer shown is another thread's frame.
  EXPECT_NE(r.out.find("local in process()"), std::string::npos) << r.out;
  const std::vector<std::string> all = lines(r.out);
  std::string tail;
  for (size_t i = all.size() >= 3 ? all.size() - 3 : 0; i < all.size(); ++i) tail += all[i] + " ";
  EXPECT_NE(tail.find("SessionCache.sessions"), std::string::npos) << tail;
  EXPECT_NE(tail.find(hex(demo().leakedSession)), std::string::npos) << tail;
}

// Arrays and classes are spelt as Java spells them, and what a query cannot list is still
// answered in the mode asked for.
TEST_F(ConsoleOnDemoHeap, arrays_and_class_objects_are_named_and_answered_in_every_mode) {
  // The catalog's int[][] is listed, and its elements are int arrays, not "[I[]".
  const Outcome stock = console({"instances", "int[][]"});
  ASSERT_EQ(stock.status, 0) << stock.err;
  EXPECT_NE(stock.out.find("1 array of int[]"), std::string::npos) << stock.out;
  const uint32_t array =
      static_cast<uint32_t>(std::stoul(words(lines(stock.out).at(1)).at(2), nullptr, 16));
  const Outcome fields = console({"fields", hex(array)});
  EXPECT_NE(lineWith(fields.out, "elements").find(" int[][] "), std::string::npos) << fields.out;
  EXPECT_NE(fields.out.find("(int[][])"), std::string::npos) << fields.out;
  const uint32_t ints = vm().getElement(array, 0);
  EXPECT_EQ(lineWith(console({"info", hex(ints)}).out, "is an int[] of 5 elements").empty(), false);
  // JSON stays JSON for what the queries do not describe.
  const Outcome info = console({"--json", "info", hex(ints)});
  EXPECT_NE(info.out.find("{\"kind\": \"P\", \"handle\": " + std::to_string(ints) +
                          ", \"class\": \"int[]\", \"length\": 5"),
            std::string::npos)
      << info.out;
  const Outcome listed = console({"--json", "instances", "int[]"});
  EXPECT_EQ(listed.out.rfind("[\n  {\"class\": \"int[]\", \"listed\": false, \"count\": ", 0), 0u)
      << listed.out;
  // A class object is kind C in info as in every list.
  EXPECT_NE(console({"--json", "info", "com.acme.shop.Session"}).out.find("{\"kind\": \"C\""),
            std::string::npos);
  EXPECT_EQ(lineWith(console({"info", "com.acme.shop.Session"}).out, "kind"),
            "kind      class object");
  // Counted nouns agree with their numbers.
  EXPECT_NE(console({"usage", "com/acme/shop/Application"}).out.find(", 1 instance, "),
            std::string::npos);
}

TEST_F(ConsoleOnDemoHeap, the_tour_on_a_high_heap_shows_commands_that_run_there) {
  if (!simvm::Vm::highPlacementAvailable()) GTEST_SKIP() << "no room between 2 GB and 4 GB here";
  const Outcome r = console({"--high", "demo"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string& line : lines(r.out)) {
    if (line.rfind("$ tavolin", 0) != 0) continue;
    EXPECT_EQ(line.rfind("$ tavolin --high ", 0), 0u) << line;
  }
}

TEST_F(ConsoleOnDemoHeap, handles_above_2_GB_are_shown_negative_and_accepted_back) {
  if (!simvm::Vm::highPlacementAvailable()) GTEST_SKIP() << "no room between 2 GB and 4 GB here";
  DemoInProcess high(true);
  const uint32_t session = high.demo.leakedSession;
  ASSERT_GE(session, 0x80000000u);
  const std::string negative = std::to_string(static_cast<int32_t>(session));
  const Outcome r = console({"--high", "info", negative});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(lineWith(r.out, "handle").find(hex(session) + " (" + negative + ")"), std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace clitest
