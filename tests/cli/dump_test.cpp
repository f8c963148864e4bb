// The console on a loaded dump (the loader tests' synthetic scene, tests/hprof/scene.h): the
// roots it names, what it says where the queries are silent, the heap without the console's own
// objects, and a long shell session.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "tests/cli/console.h"
#include "tests/hprof/scene.h"

namespace clitest {
namespace {

namespace fs = std::filesystem;

class ConsoleDump : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    path_ = (fs::temp_directory_path() / ("tavolin_dump_test_" + std::to_string(getpid()) +
                                          ".hprof"))
                .string();
    hproftest::HprofWriter::save(path_, hproftest::writeScene(8));
  }
  static void TearDownTestSuite() { fs::remove(path_); }
  static Outcome run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--heap", path_});
    return console(args, input);
  }
  static std::string path_;
};

std::string ConsoleDump::path_;

// Each kind of root a path can start at, named as the dump names it.
TEST_F(ConsoleDump, a_path_names_the_kind_of_root_it_starts_at) {
  const struct {
    const char* target;
    const char* root;
  } cases[] = {
      {"@5300", "root: JNI global"},                      // the bases array
      {"@5810", "root: system class hw/Scene"},           // Scene.chain -> link0 -> link1 -> leaf
      {"@5018", "root: thread object w\xc3\xb6rker-\xe4\xb8\x96"},  // the worker's name
  };
  for (const auto& c : cases) {
    const Outcome r = run({"path", c.target});
    ASSERT_EQ(r.status, 0) << c.target << r.err;
    EXPECT_NE(r.out.find(c.root), std::string::npos) << c.target << "\n" << r.out;
    const Outcome j = run({"--json", "path", c.target});
    EXPECT_NE(j.out.find(std::string("\"gcRoot\": \"") + (c.root + 6)), std::string::npos)
        << j.out;
  }
}

// Where the queries say nothing or 0 by their contract, the console says why in one line.
TEST_F(ConsoleDump, limits_of_the_queries_are_explained_with_what_the_dump_holds) {
  const Outcome weak = run({"path", "@5700"});  // held only by a WeakReference's referent
  EXPECT_EQ(weak.status, 1);
  EXPECT_NE(weak.err.find("held through field 'referent' of"), std::string::npos) << weak.err;
  EXPECT_NE(weak.err.find("a Reference object"), std::string::npos) << weak.err;

  EXPECT_EQ(run({"instances", "byte[]"}).out,
            "byte[]: the dump holds 4 (" + std::to_string(5 + 9 + 16 + 2) +
                " bytes of elements); the queries do not list primitive arrays or arrays of "
                "arrays\n");
  EXPECT_NE(run({"instances", "hw.Base[][]"}).out.find("hw.Base[][]: the dump holds 1 "),
            std::string::npos);
  EXPECT_NE(run({"instances", "hw.Base[]"}).out.find("2 object arrays of hw/Base"),
            std::string::npos)
      << run({"instances", "hw.Base[]"}).out;
  EXPECT_NE(run({"info", "@6008"}).out.find("is a char[] of 2 elements"), std::string::npos);

  const Outcome info = run({"class-info", "hw.Base"});
  EXPECT_NE(lineWith(info.out, "methods").find("not in the dump"), std::string::npos) << info.out;
  EXPECT_NE(lineWith(info.out, "abstract").find("not in the dump"), std::string::npos);

  const Outcome missing = run({"missing"});
  ASSERT_EQ(missing.status, 0) << missing.err;
  EXPECT_NE(missing.out.find("@dead0"), std::string::npos) << missing.out;
  EXPECT_NE(lineWith(missing.out, "@dead0").find(" b "), std::string::npos) << missing.out;
  EXPECT_NE(missing.out.find("3 references to objects missing from the dump"), std::string::npos);
}

// Tables and JSON show the heap: the call's prefix String and output stream are not in them;
// --raw is the library's report as it is.
TEST_F(ConsoleDump, counts_leave_out_the_consoles_own_objects_except_in_raw_output) {
  const std::vector<std::string> row =
      words(lineWith(run({"classes", "java.lang.String"}).out, "java/lang/String"));
  ASSERT_GE(row.size(), 6u);
  EXPECT_EQ(row[5], "3");  // # kind handle decimal class count
  EXPECT_NE(run({"--json", "classes", "java.lang.String"}).out.find("\"count\": 3"),
            std::string::npos);
  EXPECT_NE(run({"--raw", "classes", "java.lang.String"}).out.find("java/lang/String 4"),
            std::string::npos);
  EXPECT_NE(run({"instances", "java.io.ByteArrayOutputStream"}).out.find("0 instances"),
            std::string::npos);
  // usage of a prefix that takes in String, and one that does not: the same String row.
  const std::string all = lineWith(run({"usage", "java/lang/"}).out, "java/lang/String ");
  const std::string one = lineWith(run({"usage", "java/lang/String"}).out, "java/lang/String ");
  EXPECT_EQ(words(all).size() > 2 ? words(all)[2] : "", "3") << all;
  EXPECT_EQ(words(all), words(one));
}

// Long work: what each command allocates is given back, so a session of 10^5 commands runs
// to its end with the same answers as at its start. A sanitized console, which finds what is
// not given back by itself, runs 10^4.
TEST_F(ConsoleDump, a_shell_session_of_a_hundred_thousand_commands_keeps_working) {
  const size_t pairs = testkit::kSanitized ? 5000 : 50000;
  std::string input;
  for (size_t i = 0; i < pairs; ++i) input += "info @5008\nclasses java.lang.String\n";
  input += "path @5810\n";
  const Outcome r = run({"shell"}, input);
  ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);
  EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err.substr(0, 2000);
  size_t counts = 0, strings = 0;
  for (const std::string& line : lines(r.out)) {
    const std::vector<std::string> w = words(line);
    if (w.size() >= 6 && w[4] == "java/lang/String") counts += w[5] == "3";
    strings += line.find("toString") != std::string::npos && line.find("hello") != std::string::npos;
  }
  EXPECT_EQ(counts, pairs);
  EXPECT_EQ(strings, pairs);
  EXPECT_NE(r.out.find("root: system class hw/Scene"), std::string::npos);
}

// A chain of 10^6 links, as a table and as JSON: every link is printed, none runs out of handles
// (tables once failed at 70,000). A sanitized console takes minutes per 10^6: 10^5 there.
//
//   hw/Chain.head ──► link 1 ──► link 2 ──► ... ──► link 10^6
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kLinks = 100000;
#else
constexpr uint64_t kLinks = 1000000;
#endif
TEST(ConsoleLongPath, a_path_of_a_million_links_is_printed_whole) {
  constexpr uint64_t kFirst = 0x100000;
  hproftest::HprofWriter w(4);
  w.defineClass(0x100, 0, "java/lang/Object", {});
  w.defineClass(0x108, 0x100, "hw/Chain", {{"next", hproftest::kRef}},
                {{"head", hproftest::kRef, kFirst}});
  for (uint64_t i = 0; i < kLinks; ++i)
    w.instance(kFirst + 8 * i, 0x108, {{"next", i + 1 < kLinks ? kFirst + 8 * (i + 1) : 0}});
  const std::string path =
      (fs::temp_directory_path() / ("tavolin_chain_" + std::to_string(getpid()) + ".hprof"))
          .string();
  hproftest::HprofWriter::save(path, w.finish());
  char last[32];
  std::snprintf(last, sizeof last, "@%llx",
                static_cast<unsigned long long>(kFirst + 8 * (kLinks - 1)));

  const Outcome table = console({"--heap", path, "path", last, "--max-nodes", "2000000"});
  ASSERT_EQ(table.status, 0) << table.err.substr(0, 2000);
  size_t links = 0;
  for (const std::string& line : lines(table.out)) links += line.find(" field next ") != std::string::npos;
  EXPECT_EQ(links, kLinks - 1) << table.out.substr(0, 2000);
  EXPECT_NE(lineWith(table.out, "static head").find("@100000"), std::string::npos)
      << table.out.substr(0, 2000);
  const std::vector<std::string> rows = lines(table.out);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_NE(rows[rows.size() - 2].find(last), std::string::npos) << rows[rows.size() - 2];
  EXPECT_NE(rows.back().find("a chain of " + std::to_string(kLinks) + " links"), std::string::npos)
      << rows.back();

  const Outcome json = console({"--heap", path, "--json", "path", last, "--max-nodes", "2000000"});
  fs::remove(path);
  ASSERT_EQ(json.status, 0) << json.err.substr(0, 2000);
  size_t next = 0;
  for (size_t at = json.out.find("\"next\""); at != std::string::npos;
       at = json.out.find("\"next\"", at + 1))
    ++next;
  EXPECT_EQ(next, kLinks - 1) << json.out.substr(0, 2000);
}

}  // namespace
}  // namespace clitest
