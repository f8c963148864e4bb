// `path` on what the library's search does not take: primitive arrays, Reference objects and
// arrays of them, classes. The console answers with what holds them, says how, and --raw stays
// the library's answer.
//
//   hw/App (system class) .data ──► holder ──bytes──► byte[]
//                         .weak ──► WeakReference ──referent──► target
//                         .softs ─► SoftReference[] ──[0]──► SoftReference
//                         .loader ► loader: the class loader of hw/Plugin
//   hw/Free: no loader, not a root of the dump, held by nothing
//   hw/Single .instance ──► its instance ──type──► hw/Single: held only by what it holds
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "heapkit/hprof_writer.h"
#include "tests/cli/console.h"

namespace clitest {
namespace {

namespace fs = std::filesystem;
using hproftest::kRef;

constexpr uint64_t kObject = 0x100, kClass = 0x108, kReference = 0x110, kWeak = 0x118,
                   kSoft = 0x120, kSoftArray = 0x128, kApp = 0x130, kHolder = 0x138,
                   kLoaderClass = 0x140, kPlugin = 0x148, kFree = 0x150, kSingle = 0x158;
constexpr uint64_t kHolderObj = 0x5000, kBytes = 0x5008, kWeakObj = 0x5010, kTarget = 0x5018,
                   kSofts = 0x5020, kSoftObj = 0x5028, kLoader = 0x5030, kLoose = 0x5038,
                   kLooseBytes = 0x5040, kSingleObj = 0x5048;

std::string writeDump() {
  hproftest::HprofWriter w(8);
  w.defineClass(kObject, 0, "java/lang/Object", {});
  w.defineClass(kClass, kObject, "java/lang/Class", {});
  w.defineClass(kReference, kObject, "java/lang/ref/Reference", {{"referent", kRef}});
  w.defineClass(kWeak, kReference, "java/lang/ref/WeakReference", {});
  w.defineClass(kSoft, kReference, "java/lang/ref/SoftReference", {});
  w.defineClass(kSoftArray, kObject, "[Ljava/lang/ref/SoftReference;", {});
  w.defineClass(kApp, kObject, "hw/App", {},
                {{"data", kRef, kHolderObj},
                 {"weak", kRef, kWeakObj},
                 {"softs", kRef, kSofts},
                 {"loader", kRef, kLoader}});
  w.defineClass(kHolder, kObject, "hw/Holder", {{"bytes", kRef}});
  w.defineClass(kLoaderClass, kObject, "hw/Loader", {});
  w.defineClass(kPlugin, kObject, "hw/Plugin", {}, {}, kLoader);
  w.defineClass(kFree, kObject, "hw/Free", {});
  w.defineClass(kSingle, kObject, "hw/Single", {{"type", kRef}}, {{"instance", kRef, kSingleObj}});
  w.instance(kSingleObj, kSingle, {{"type", kSingle}});
  w.instance(kHolderObj, kHolder, {{"bytes", kBytes}});
  w.byteArray(kBytes, "why is this alive");
  w.instance(kWeakObj, kWeak, {{"referent", kTarget}});
  w.instance(kTarget, kObject, {});
  w.objectArray(kSofts, kSoftArray, {kSoftObj});
  w.instance(kSoftObj, kSoft, {});
  w.instance(kLoader, kLoaderClass, {});
  w.instance(kLoose, kHolder, {{"bytes", kLooseBytes}});  // held by nothing
  w.byteArray(kLooseBytes, "loose");
  w.rootStickyClass(kApp);
  return w.finish();
}

class ConsolePathAnswers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    path_ = (fs::temp_directory_path() /
             ("tavolin_path_answers_" + std::to_string(getpid()) + ".hprof"))
                .string();
    hproftest::HprofWriter::save(path_, writeDump());
  }
  static void TearDownTestSuite() { fs::remove(path_); }
  static Outcome run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--heap", path_});
    return console(args);
  }
  static std::string path_;
};

std::string ConsolePathAnswers::path_;

TEST_F(ConsolePathAnswers, what_the_search_does_not_take_is_answered_with_its_holder) {
  const struct {
    const char* target;
    std::vector<std::string> rows;  // "<how held> <dump id>", root first
    const char* why;
  } cases[] = {
      {"@5008",
       {" root: system class hw/App @130", " static data @5000", " field bytes @5008"},
       "the search takes no primitive arrays; this is its path to the holder"},
      {"@5010",
       {" root: system class hw/App @130", " static weak @5010"},
       "the search takes no Reference objects"},
      {"@5020",
       {" root: system class hw/App @130", " static softs @5020"},
       "the search takes no arrays of Reference objects"},
      {"@5028",
       {" root: system class hw/App @130", " static softs @5020", " element [0] @5028"},
       "the search takes no Reference objects"},
      {"hw.Plugin",
       {" root: system class hw/App @130", " static loader @5030", " class loader of it @148"},
       "a class is kept by its class loader"},
      {"hw.App", {" root: system class hw/App @130"}, "the dump names this one a GC root"},
      {"hw.Free", {" root: class @150"}, "nothing else holds this one"},
      {"hw.Single", {" root: class @158"}, "nothing else holds this one"},
  };
  for (const auto& c : cases) {
    const Outcome r = run({"path", c.target});
    ASSERT_EQ(r.status, 0) << c.target << "\n" << r.err;
    // Under the header, one row per link, each with how the row above holds it and its id.
    const std::vector<std::string> table = lines(r.out);
    ASSERT_EQ(table.size(), c.rows.size() + 3) << c.target << "\n" << r.out;
    for (size_t i = 0; i < c.rows.size(); ++i) {
      const std::string& want = c.rows[i];
      const size_t cut = want.rfind(' ');
      EXPECT_NE(table[i + 1].find(want.substr(0, cut) + " "), std::string::npos)
          << c.target << " row " << i + 1 << "\n"
          << r.out;
      EXPECT_NE(table[i + 1].find(want.substr(cut + 1)), std::string::npos)
          << c.target << " row " << i + 1 << "\n"
          << r.out;
    }
    EXPECT_NE(r.out.find(c.why), std::string::npos) << c.target << "\n" << r.out;

    const Outcome j = run({"--json", "path", c.target});
    ASSERT_EQ(j.status, 0) << j.err;
    const std::string answered = lineWith(j.out, "\"answered\": \"");
    EXPECT_NE(answered.find(c.why), std::string::npos) << j.out;
    EXPECT_EQ(answered, lines(j.out)[c.rows.size()]) << "on the object asked about\n" << j.out;
    EXPECT_EQ(lines(j.out).size(), c.rows.size() + 2) << j.out;  // [ rows ]
  }
  EXPECT_NE(run({"--json", "path", "@5008"}).out.find("\"via\": \"field\", \"field\": \"bytes\""),
            std::string::npos);
  EXPECT_NE(run({"--json", "path", "hw.Plugin"}).out.find("\"via\": \"loader\""),
            std::string::npos);

  // What nothing with a path holds stays unanswered, saying why; --raw is the library's answer.
  const Outcome loose = run({"path", "@5040"});
  EXPECT_EQ(loose.status, 1);
  EXPECT_NE(loose.err.find("the search takes no primitive arrays, and nothing that holds it"),
            std::string::npos)
      << loose.err;
  for (const char* target : {"@5008", "@5010", "hw.Plugin"}) {
    const Outcome raw = run({"--raw", "path", target});
    EXPECT_EQ(raw.status, 1) << target;
    EXPECT_EQ(raw.out, "Search Failed\n") << target;
  }
}

// The demo heap: a Session's byte[] buffer and the class the leak starts at.
TEST(ConsolePathAnswersDemo, a_byte_array_and_a_class_of_the_demo_heap_are_answered) {
  DemoInProcess here;
  const uint32_t session = here.demo.sessions.at(4);
  const uint32_t buffer = here.heap.vm.getField(session, "buffer");
  const Outcome bytes = console({"path", hex(buffer)});
  ASSERT_EQ(bytes.status, 0) << bytes.err;
  const std::vector<std::string> table = lines(bytes.out);
  ASSERT_GE(table.size(), 4u);
  EXPECT_NE(table[table.size() - 4].find(hex(session)), std::string::npos) << bytes.out;
  EXPECT_NE(table[table.size() - 3].find("field buffer"), std::string::npos) << bytes.out;
  EXPECT_NE(table[1].find("com/acme/shop/SessionCache"), std::string::npos) << bytes.out;

  // The holders' searches are bounded by --max-nodes too, and say so when it cuts them short.
  const Outcome bounded = console({"path", hex(buffer), "--max-nodes", "0"});
  EXPECT_EQ(bounded.status, 1);
  EXPECT_NE(bounded.err.find("gave up after 0 nodes: raise --max-nodes"), std::string::npos)
      << bounded.err;

  const Outcome cls = console({"path", "com.acme.shop.SessionCache"});
  ASSERT_EQ(cls.status, 0) << cls.err;
  EXPECT_NE(cls.out.find("is a root itself (a class)"), std::string::npos) << cls.out;
}

}  // namespace
}  // namespace clitest
