// What the console shows is what the heap holds: names with blanks, floating-point values as
// Java prints them, UTF-8 for supplementary characters, threads in stack order, and counts
// without the importer's own additions. Checked on a dump whose every value the test wrote.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "tests/cli/console.h"
#include "tests/hprof/scene.h"

namespace clitest {
namespace {

namespace fs = std::filesystem;
using hproftest::doubleBits;
using hproftest::floatBits;
using hproftest::HprofWriter;

constexpr uint64_t kObject = 0x100, kClass = 0x108, kString = 0x110, kThread = 0x118,
                   kBlank = 0x120, kSmile = 0x128, kNumbers = 0x130, kKeep = 0x138;
constexpr uint64_t kBlankObj = 0x500, kNumbersObj = 0x508, kSmileObj = 0x510, kLongText = 0x700,
                   kLongTextBytes = 0x708, kThreads = 0x800, kMissing = 0xDEAD0;
constexpr int kThreadCount = 11;  // the last never started

// "😀" (U+1F600) as a dump's modified UTF-8 writes it: two surrogates of three bytes each.
const std::string kSmileCesu = "\xED\xA0\xBD\xED\xB8\x80";
const std::string kSmileUtf8 = "\xF0\x9F\x98\x80";

std::string writeDump(bool jniRoot) {
  HprofWriter w(8);
  w.defineClass(kObject, 0, "java/lang/Object", {});
  w.defineClass(kClass, kObject, "java/lang/Class", {});
  w.defineClass(kString, kObject, "java/lang/String",
                {{"value", hproftest::kRef}, {"coder", hproftest::kByte}});
  w.defineClass(kThread, kObject, "java/lang/Thread",
                {{"name", hproftest::kRef}, {"eetop", hproftest::kLong}});
  w.defineClass(kBlank, kObject, "My Class!!", {{"n", hproftest::kInt}});
  w.defineClass(kSmile, kObject, "hw/Smile" + kSmileCesu, {});
  w.defineClass(kNumbers, kObject, "hw/Numbers",
                {{"d1", hproftest::kDouble},
                 {"d2", hproftest::kDouble},
                 {"d3", hproftest::kDouble},
                 {"d4", hproftest::kDouble},
                 {"d5", hproftest::kDouble},
                 {"f", hproftest::kFloat},
                 {"q", hproftest::kChar},
                 {"lost", hproftest::kRef}},
                {{"BIG", hproftest::kLong, 0x1122334455667788ull},
                 {"PI", hproftest::kDouble, doubleBits(3.141592653589793)}});
  // Loaded by an object of the dump: the importer gives the class a "<class loader>" static.
  w.defineClass(kKeep, kObject, "hw/Keep", {},
                {{"KEEP", hproftest::kRef, kBlankObj}, {"SMILE", hproftest::kRef, kSmileObj}},
                kNumbersObj);
  w.instance(kBlankObj, kBlank, {{"n", 7}});
  w.instance(kSmileObj, kSmile, {});
  w.instance(kNumbersObj, kNumbers,
             {{"d1", doubleBits(1234567.891)},
              {"d2", doubleBits(0.1 + 0.2)},
              {"d3", doubleBits(std::numeric_limits<double>::quiet_NaN())},
              {"d4", doubleBits(std::numeric_limits<double>::infinity())},
              {"d5", doubleBits(1e10)},
              {"f", floatBits(0.1f)},
              {"q", '\''},
              {"lost", kMissing}});  // a reference the dump lacks: the load line is printed
  w.instance(kLongText, kString, {{"value", kLongTextBytes}, {"coder", 0}});
  w.byteArray(kLongTextBytes, std::string(200000, 'x'));
  for (int i = 0; i < kThreadCount; ++i)
    w.instance(kThreads + 8 * i, kThread, {{"eetop", 139731929940448ull + i}});
  w.rootStickyClass(kKeep);
  w.rootStickyClass(kSmile);
  if (jniRoot) w.rootJniGlobal(kLongText);
  const uint32_t keepSerial = w.loadClass(kKeep, "hw/Keep");
  const uint64_t recurse = w.frame("recurse", keepSerial), outer = w.frame("main", keepSerial);
  for (int i = 0; i + 1 < kThreadCount; ++i) {
    const uint32_t serial = static_cast<uint32_t>(i + 1);
    // Thread 1 runs recurse() inside recurse() inside main(); the others main() alone.
    w.trace(serial + 100, serial,
            i == 0 ? std::vector<uint64_t>{recurse, recurse, outer} : std::vector<uint64_t>{outer});
    w.rootThreadObject(kThreads + 8 * i, serial, serial + 100);
  }
  return w.finish();
}

class ConsoleHeapTruth : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (bool jni : {false, true}) {
      std::string& path = jni ? jniPath_ : path_;
      path = (fs::temp_directory_path() /
              ("tavolin_truth_" + std::to_string(getpid()) + (jni ? "_jni" : "") + ".hprof"))
                 .string();
      HprofWriter::save(path, writeDump(jni));
    }
  }
  static void TearDownTestSuite() {
    fs::remove(path_);
    fs::remove(jniPath_);
  }
  static Outcome run(std::vector<std::string> args, bool jni = false) {
    args.insert(args.begin(), {"--heap", jni ? jniPath_ : path_});
    return console(args);
  }
  static std::string at(uint64_t id) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "@%llx", static_cast<unsigned long long>(id));
    return buf;
  }
  static inline std::string path_, jniPath_;
};

TEST_F(ConsoleHeapTruth, a_class_name_with_blanks_is_whole_in_tables_json_info_and_paths) {
  const Outcome table = run({"classes", "My"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(words(lineWith(table.out, "My Class!!")).at(6), "1") << table.out;
  const Outcome json = run({"--json", "classes", "My"});
  EXPECT_NE(json.out.find("\"class\": \"My Class!!\", \"count\": 1"), std::string::npos)
      << json.out;
  const Outcome instances = run({"--json", "instances", "My Class!!"});
  EXPECT_NE(instances.out.find("\"class\": \"My Class!!\""), std::string::npos) << instances.out;
  const Outcome info = run({"info", at(kBlankObj)});
  EXPECT_EQ(lineWith(info.out, "class"), "class     My Class!!") << info.out;
  EXPECT_EQ(lineWith(info.out, "body").rfind("body      0x", 0), 0u) << info.out;
  const Outcome refs = run({"--json", "refs", "hw.Keep"});
  EXPECT_NE(refs.out.find("\"class\": \"My Class!!\", \"via\": \"static\", \"field\": \"KEEP\""),
            std::string::npos)
      << refs.out;
  const Outcome path = run({"path", at(kBlankObj)});
  ASSERT_EQ(path.status, 0) << path.err;
  EXPECT_NE(lineWith(path.out, "My Class!!").find("static KEEP"), std::string::npos) << path.out;
}

TEST_F(ConsoleHeapTruth, values_are_written_as_java_prints_them_and_text_as_utf8) {
  const Outcome fields = run({"fields", at(kNumbersObj)});
  ASSERT_EQ(fields.status, 0) << fields.err;
  for (const auto& [field, value] :
       std::vector<std::pair<std::string, std::string>>{{"d1", "1234567.891"},
                                                        {"d2", "0.30000000000000004"},
                                                        {"d3", "NaN"},
                                                        {"d4", "Infinity"},
                                                        {"d5", "1.0E10"},
                                                        {"f", "0.1"},
                                                        {"q", "'\\''"}}) {
    const std::vector<std::string> w = words(lineWith(fields.out, field + " "));
    ASSERT_EQ(w.size(), 3u) << field << "\n" << fields.out;
    EXPECT_EQ(w[2], value) << field;
  }
  // A supplementary character in a name: UTF-8, never the dump's surrogate pairs.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--json", "classes", "hw/Smile"},
        {"classes", "hw/Smile"},
        {"--json", "refs", "hw.Keep"},
        {"fields", "hw.Keep"}}) {
    const Outcome r = run(args);
    EXPECT_NE(r.out.find("hw/Smile" + kSmileUtf8), std::string::npos) << args[1] << r.out;
    EXPECT_EQ(r.out.find('\xED'), std::string::npos) << args[1];
  }
  // A String of 200,000 characters: info cuts its toString as fields cuts the value.
  const Outcome info = run({"info", at(kLongText)});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_LT(lineWith(info.out, "toString").size(), 200u);
  EXPECT_NE(lineWith(info.out, "toString").find("200000"), std::string::npos) << info.out;
}

// fields shows what the dump declares, with its exact values, and says where the VM differs.
TEST_F(ConsoleHeapTruth, fields_are_the_dumps_declarations_with_exact_values) {
  const Outcome thread = run({"fields", at(kThreads)});
  ASSERT_EQ(thread.status, 0) << thread.err;
  const std::vector<std::string> eetop = words(lineWith(thread.out, "eetop     long"));
  ASSERT_GE(eetop.size(), 4u) << thread.out;
  EXPECT_EQ(eetop[2], "139731929940448") << thread.out;
  EXPECT_EQ(eetop[3], "(the");  // the VM's copy differs, and the row says so
  const Outcome statics = run({"--json", "fields", "hw.Numbers"});
  EXPECT_NE(statics.out.find("\"field\": \"BIG\", \"type\": \"static long\", \"value\": \"" +
                             std::to_string(0x1122334455667788ll) + "\""),
            std::string::npos)
      << statics.out;
  EXPECT_NE(statics.out.find("\"field\": \"PI\", \"type\": \"static double\", \"value\": "
                             "\"3.141592653589793\", \"vmCopy\": "),
            std::string::npos)
      << statics.out;
  // A String as the dump declares it (value, coder), the VM's own bounds marked as its own.
  const Outcome text = run({"fields", at(kLongText)});
  EXPECT_EQ(words(lineWith(text.out, "coder ")).at(2), "0") << text.out;
  EXPECT_NE(lineWith(text.out, "count ").find("the VM's own field"), std::string::npos) << text.out;
  // The census shows the dump's own bytes beside the count: hw/Numbers holds 5 doubles, a
  // float, a char and an 8-byte id.
  EXPECT_NE(run({"--json", "classes", "hw/Numbers"}).out.find("\"count\": 1, \"dumpBytes\": 54"),
            std::string::npos);
  EXPECT_EQ(words(lineWith(run({"classes", "hw/Numbers"}).out, "hw/Numbers")).at(6), "54");
}

TEST_F(ConsoleHeapTruth, threads_are_listed_in_stack_order_and_counted_as_the_load_line_counts) {
  const Outcome r = run({"threads"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The load line and the last line agree on the running threads.
  EXPECT_NE(r.err.find(std::to_string(kThreadCount - 1) + " running threads"), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find(std::to_string(kThreadCount) + " threads, " +
                       std::to_string(kThreadCount - 1) + " running"),
            std::string::npos)
      << r.out;
  const std::vector<std::string> rows = lines(r.out);
  // Innermost first, each frame its own row, even a method that calls itself.
  const auto first = std::find_if(rows.begin(), rows.end(), [](const std::string& l) {
    return l.find("recurse()") != std::string::npos;
  });
  ASSERT_LE(first + 3, rows.end()) << r.out;
  EXPECT_EQ(words(first[0]), std::vector<std::string>{"recurse()"}) << r.out;
  EXPECT_EQ(words(first[1]), std::vector<std::string>{"recurse()"}) << r.out;
  EXPECT_EQ(words(first[2]), std::vector<std::string>{"main()"}) << r.out;
  // The thread never started is marked; rows 1 to 11 line up, their frames indented past them.
  size_t notRunning = 0, headers = 0, column = std::string::npos;
  for (const std::string& line : rows) {
    notRunning += line.find("not running (never started, or ended)") != std::string::npos;
    if (line.find(" (java/lang/Thread) ") == std::string::npos) continue;
    ++headers;
    if (column == std::string::npos) column = line.find("0x");
    EXPECT_EQ(line.find("0x"), column) << line;
  }
  EXPECT_EQ(headers, static_cast<size_t>(kThreadCount)) << r.out;
  EXPECT_EQ(notRunning, 1u) << r.out;
  EXPECT_EQ(first[0].find("recurse"), column + 2) << r.out;
}

TEST_F(ConsoleHeapTruth, counts_leave_out_what_the_importer_added) {
  // A root holder class made for the JNI global root is no class of the dump.
  const auto classObjects = [](const Outcome& o) {
    return words(lineWith(o.out, "java/lang/Class "));
  };
  const Outcome plain = run({"classes", "java/lang/Class"});
  const Outcome withRoot = run({"classes", "java/lang/Class"}, true);
  ASSERT_EQ(classObjects(plain).size(), 8u) << plain.out;  // with the dump's bytes and id
  EXPECT_EQ(classObjects(withRoot).at(5), classObjects(plain).at(5)) << withRoot.out;
  EXPECT_EQ(run({"--json", "classes", "java/lang/Class"}, true).out,
            run({"--json", "classes", "java/lang/Class"}).out);
  // hw/Keep declares two statics; the importer's "<class loader>" is not one of them.
  const Outcome info = run({"class-info", "hw.Keep"});
  EXPECT_EQ(words(lineWith(info.out, "fields")).at(1), "2") << info.out;
  EXPECT_NE(run({"--json", "class-info", "hw.Keep"}).out.find("\"fields\": 2,"), std::string::npos);
}

}  // namespace
}  // namespace clitest
