// threads, fields, --limit and class names, checked against the heap built in this process and
// against a dump whose every value the test wrote itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "tests/cli/console.h"
#include "tests/hprof/scene.h"

#ifdef TAVOLIN_HAVE_JSON
#include <nlohmann/json.hpp>
#endif

namespace clitest {
namespace {

// A dump written to a file for the console to load.
struct DumpFile {
  explicit DumpFile(const std::string& bytes)
      : path("/tmp/tavolin-cli-dump-" + std::to_string(getpid()) + "-" + std::to_string(counter++) +
             ".hprof") {
    hproftest::HprofWriter::save(path, bytes);
  }
  ~DumpFile() { std::remove(path.c_str()); }
  std::string path;
  static inline int counter = 0;
};

std::string dumpId(uint64_t id) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "@%llx", static_cast<unsigned long long>(id));
  return buf;
}

TEST(ConsoleViews, threads_show_each_frame_with_the_objects_its_locals_hold) {
  DemoInProcess here;
  const cli::DemoHeap& d = here.demo;
  const Outcome r = console({"threads"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Every thread's locals, as the references query reports them, appear under its frames.
  for (uint32_t t : {d.requestHandler, d.worker}) {
    const std::string head = lineWith(r.out, hex(t) + " (");
    const size_t from = r.out.find(head);  // its frames are the first lines below it
    EXPECT_NE(head.find('"' + here.heap.vm.stringValue(here.heap.vm.getField(t, "name")) + '"'),
              std::string::npos)
        << r.out;
    for (const simvm::Record& rec : here.heap.call.references(t).records) {
      if (rec.detail.find("()") == std::string::npos) continue;
      const std::string frame =
          lineWith(r.out.substr(from, r.out.find("\n3 threads") - from), "     " + rec.detail);
      EXPECT_NE(frame.find(hex(rec.handle)), std::string::npos) << rec.detail << "\n" << r.out;
    }
  }
  EXPECT_NE(lineWith(r.out, hex(d.mainThread)).find("calling thread"), std::string::npos);
  EXPECT_NE(r.out.find("3 threads"), std::string::npos) << r.out;
}

TEST(ConsoleViews, fields_of_a_dumped_object_are_the_values_the_dump_holds) {
  using namespace hproftest::ids;
  const DumpFile dump(hproftest::writeScene(8));
  const Outcome r = console({"--heap", dump.path, "fields", dumpId(kDerivedObj)});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"a", "1"},    {"b", "\"hello\""}, {"c", std::to_string(0x1122334455667788ll)},
      {"d", "true"}, {"x", "-5"},        {"arr", "length 3: 1 2 3"},
      {"fl", "1.5"}, {"sh", "-2"},
  };
  for (const auto& [field, value] : expected) {
    const size_t at = r.out.find("\n" + field + " ") + 1;
    const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_EQ(line.size() - line.rfind(value), value.size()) << field << "\n" << r.out;
  }
  EXPECT_NE(r.out.find("8 fields of "), std::string::npos) << r.out;
  // Arrays: their length and first elements; char[] as text.
  const Outcome chars = console({"--heap", dump.path, "fields", dumpId(kChars)});
  EXPECT_NE(chars.out.find("\"A\u4e16\""), std::string::npos) << chars.out;
  const Outcome longs = console({"--heap", dump.path, "fields", dumpId(kLongs)});
  EXPECT_NE(longs.out.find(std::to_string(0x0102030405060708ll)), std::string::npos) << longs.out;
}

TEST(ConsoleViews, a_dumped_thread_and_its_twice_held_local) {
  using namespace hproftest::ids;
  const DumpFile dump(hproftest::writeScene(8));
  const Outcome threads = console({"--heap", dump.path, "threads"});
  ASSERT_EQ(threads.status, 0) << threads.err;
  EXPECT_NE(threads.out.find("\"w\u00f6rker-\u4e16\""), std::string::npos) << threads.out;
  // The table names both locals that hold it; so does the JSON.
  const Outcome table = console({"--heap", dump.path, "path", dumpId(kLocal)});
  const Outcome json = console({"--heap", dump.path, "--json", "path", dumpId(kLocal)});
  ASSERT_EQ(table.status, 0) << table.err;
  const size_t held = lines(lineWith(table.out, "local in ")).size() == 1
                          ? std::count(table.out.begin(), table.out.end(), ',') + 1
                          : 0;
  ASSERT_GE(held, 2u) << table.out;
  size_t inJson = 0;
  for (size_t at = json.out.find("\"links\"");
       at != std::string::npos &&
       (at = json.out.find("\"via\": \"local\"", at + 1)) != std::string::npos;)
    ++inJson;
  EXPECT_EQ(inJson, held) << json.out;
}

TEST(ConsoleViews, limit_shortens_every_list_and_keeps_the_total) {
  DemoInProcess here;
  const std::string leaked = hex(here.demo.leakedSession);
  const std::vector<std::vector<std::string>> lists = {{"classes"},
                                                       {"instances", "java/lang/String"},
                                                       {"refs", hex(here.demo.requestHandler)},
                                                       {"referrers", hex(here.demo.sessionTable)},
                                                       {"usage"},
                                                       {"path", leaked},
                                                       {"threads"}};
  for (const std::vector<std::string>& list : lists) {
    const Outcome all = console(list);
    ASSERT_EQ(all.status, 0) << list[0] << all.err;
    std::vector<std::string> limited = list, json = list;
    limited.insert(limited.end(), {"--limit", "1"});
    json.insert(json.end(), {"--limit", "1", "--json"});
    const Outcome one = console(limited);
    ASSERT_EQ(one.status, 0) << list[0] << one.err;
    // The same first row, fewer lines, and the same total in the last line.
    EXPECT_LT(lines(one.out).size(), lines(all.out).size()) << list[0];
    EXPECT_EQ(words(lines(one.out)[1]), words(lines(all.out)[1])) << list[0];
    EXPECT_EQ(lines(one.out).back().rfind(lines(all.out).back(), 0), 0u) << one.out;
    EXPECT_NE(lines(one.out).back().find("(the first 1 shown)"), std::string::npos) << one.out;
    EXPECT_EQ(lines(console(json).out).size(), 3u) << list[0];  // [, one record, ]
  }
}

#ifdef TAVOLIN_HAVE_JSON
// --skip S --limit L gives rows S+1 .. S+L of the whole list, exactly, whatever S and L are
// (past the end too); a table keeps the rows' numbers and says which were shown.
TEST(ConsoleViews, skip_and_limit_give_exactly_that_slice_of_the_whole_list) {
  DemoInProcess here;
  const uint32_t user = here.heap.vm.getField(here.demo.leakedSession, "user");  // in 6 fields
  const std::vector<std::vector<std::string>> lists = {
      {"instances", "com.acme.shop.Session"},
      {"refs", hex(here.demo.leakedSession)},
      {"referrers", hex(user)},
      // Sorted by class name, with the query's own output stream among them, dropped.
      {"instances", "java/lang/Object", "--subclasses"}};
  for (const std::vector<std::string>& list : lists) {
    std::vector<std::string> jsonWords{"--json"};
    jsonWords.insert(jsonWords.end(), list.begin(), list.end());
    const nlohmann::json all = nlohmann::json::parse(console(jsonWords).out);
    const size_t n = all.size();
    ASSERT_GE(n, 3u) << list[0] << " " << list[1];
    for (const nlohmann::json& row : all)
      ASSERT_FALSE(row["kind"] == "I" && row["class"] == "java/io/ByteArrayOutputStream")
          << "a call's own stream is listed";
    for (const size_t skip : {size_t{0}, size_t{1}, n - 3, n - 1, n, n + 4}) {
      for (const std::optional<size_t> limit :
           {std::optional<size_t>(), std::optional<size_t>(0), std::optional<size_t>(2)}) {
        std::vector<std::string> args = jsonWords;
        args.insert(args.end(), {"--skip", std::to_string(skip)});
        if (limit) args.insert(args.end(), {"--limit", std::to_string(*limit)});
        const Outcome r = console(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const size_t first = std::min(skip, n);
        const size_t end = limit ? std::min(n, first + *limit) : n;
        const nlohmann::json want(all.begin() + first, all.begin() + end);
        EXPECT_EQ(nlohmann::json::parse(r.out), want)
            << list[0] << " --skip " << skip << " --limit " << (limit ? *limit : 999);
      }
    }
    std::vector<std::string> page = list;
    page.insert(page.end(), {"--skip", "1", "--limit", "2"});
    const std::vector<std::string> whole = lines(console(list).out),
                                   part = lines(console(page).out);
    ASSERT_EQ(part.size(), 4u) << list[0];  // the head, rows 2 and 3, the summary
    EXPECT_EQ(words(part[1]), words(whole[2])) << list[0];
    EXPECT_EQ(words(part[2]), words(whole[3])) << list[0];
    EXPECT_EQ(part.back(), whole.back() + " (rows 2 to 3 shown)");
  }
}
#endif

TEST(ConsoleViews, class_names_are_taken_as_the_console_prints_them) {
  DemoInProcess here;
  simvm::Vm& vm = here.heap.vm;
  for (const char* name : {"com/acme/shop/Session", "com.acme.shop.Session", "Session",
                           "com.acme.util.HashTable$Entry", "HashTable$Entry"}) {
    const Outcome r = console({"class-info", name});
    EXPECT_EQ(r.status, 0) << name << r.err;
    EXPECT_EQ(lines(r.out)[0].substr(lines(r.out)[0].rfind(' ') + 1),
              vm.className(vm.findClass(std::string(name).find('.') != std::string::npos ||
                                                std::string(name).find('/') != std::string::npos
                                            ? name
                                            : (std::string(name) == "Session"
                                                   ? "com/acme/shop/Session"
                                                   : "com/acme/util/HashTable$Entry"))))
        << name;
  }
  // "X[]", as tables print an object array's class, lists the arrays of X.
  const Outcome arrays = console({"instances", "java/lang/Object[]"});
  EXPECT_EQ(arrays.out, console({"instances", "java/lang/Object", "--arrays"}).out);
  EXPECT_EQ(arrays.status, 0) << arrays.err;
}

// Every spelling of a class name a person copies from a JVM's output finds the class: the
// hidden class's "/0x" (whole, dotted, or its simple name), descriptors "La/B;" and "[La/B;",
// and a nested class's Java simple name is answered with "did you mean".
TEST(ConsoleViews, a_class_is_found_by_the_jvm_spellings_of_its_name) {
  hproftest::HprofWriter w(8);
  w.defineClass(0x100, 0, "java/lang/Object", {});
  w.defineClass(0x108, 0x100, "a/B$$Lambda+0x0000000800c01234", {});
  w.defineClass(0x110, 0x100, "a/Shop$Customer", {});
  w.defineClass(0x118, 0x100, "[La/Shop$Customer;", {});
  w.instance(0x200, 0x108, {});
  w.instance(0x208, 0x110, {});
  w.instance(0x210, 0x110, {});
  w.objectArray(0x300, 0x118, {0x208});
  const DumpFile dump(w.finish());
  const struct {
    const char* name;
    const char* found;
  } cases[] = {
      {"a.B$$Lambda/0x0000000800c01234", " of a/B$$Lambda+0x0000000800c01234"},
      {"a/B$$Lambda/0x0000000800c01234", " of a/B$$Lambda+0x0000000800c01234"},
      {"a/B$$Lambda+0x0000000800c01234", " of a/B$$Lambda+0x0000000800c01234"},
      {"B$$Lambda/0x0000000800c01234", " of a/B$$Lambda+0x0000000800c01234"},
      {"La/Shop$Customer;", "2 instances of a/Shop$Customer"},
      {"La.Shop$Customer;", "2 instances of a/Shop$Customer"},
      {"[La/Shop$Customer;", "1 object array of a/Shop$Customer"},
      {"a/Shop$Customer[]", "1 object array of a/Shop$Customer"},
  };
  for (const auto& c : cases) {
    const Outcome r = console({"--heap", dump.path, "instances", c.name});
    EXPECT_EQ(r.status, 0) << c.name << r.err;
    EXPECT_NE(r.out.find(c.found), std::string::npos) << c.name << "\n" << r.out;
  }
  const struct {
    const char* name;
    const char* hint;
  } misses[] = {
      {"Customer", "did you mean a/Shop$Customer?"},
      {"customer", "did you mean a/Shop$Customer?"},
      {"B$$Lambda/0x0000000800c01235", "did you mean a/B$$Lambda+0x0000000800c01234?"},
      {"Ljava/lang/Objekt;", "did you mean java/lang/Object?"},
  };
  for (const auto& m : misses) {
    const Outcome r = console({"--heap", dump.path, "instances", m.name});
    EXPECT_EQ(r.status, 3) << m.name << r.out;
    EXPECT_NE(r.err.find(m.hint), std::string::npos) << m.name << "\n" << r.err;
  }
}

}  // namespace
}  // namespace clitest
