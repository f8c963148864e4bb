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
    path_ =
        (fs::temp_directory_path() / ("tavolin_dump_test_" + std::to_string(getpid()) + ".hprof"))
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
      {"@5300", "root: JNI global"},             // the bases array
      {"@5810", "root: system class hw/Scene"},  // Scene.chain -> link0 -> link1 -> leaf
      {"@5018", "root: thread object w\xc3\xb6rker-\xe4\xb8\x96"},  // the worker's name
  };
  for (const auto& c : cases) {
    const Outcome r = run({"path", c.target});
    ASSERT_EQ(r.status, 0) << c.target << r.err;
    EXPECT_NE(r.out.find(c.root), std::string::npos) << c.target << "\n" << r.out;
    const Outcome j = run({"--json", "path", c.target});
    EXPECT_NE(j.out.find(std::string("\"gcRoot\": \"") + (c.root + 6)), std::string::npos) << j.out;
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
  // Arrays of arrays are object arrays whose element class is an array class: listed.
  EXPECT_NE(run({"instances", "hw.Base[][]"}).out.find("1 array of hw/Base[]\n"), std::string::npos)
      << run({"instances", "hw.Base[][]"}).out;
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

// A heap segment whose tag was damaged is skipped by its length: the load says so, with the
// bytes, and `missing` counts it beside the references to absent objects.
TEST(ConsoleDamagedDump, records_the_reader_skipped_are_reported_on_load_and_in_missing) {
  std::string bytes = hproftest::writeScene(8, 256);
  // The last heap segment's tag (it holds roots and objects, no class): records follow the
  // 31-byte header, each 9 bytes and its length.
  size_t at = 31, damaged = 0;
  uint64_t length = 0;
  while (at + 9 <= bytes.size()) {
    const uint64_t n = uint64_t(uint8_t(bytes[at + 5])) << 24 |
                       uint64_t(uint8_t(bytes[at + 6])) << 16 |
                       uint64_t(uint8_t(bytes[at + 7])) << 8 | uint8_t(bytes[at + 8]);
    if (bytes[at] == 0x1C) {
      damaged = at;
      length = n;
    }
    at += 9 + n;
  }
  ASSERT_NE(damaged, 0u);
  bytes[damaged] = char(0x9C);
  const std::string path =
      (fs::temp_directory_path() / ("tavolin_damaged_" + std::to_string(getpid()) + ".hprof"))
          .string();
  hproftest::HprofWriter::save(path, bytes);
  const std::string note =
      "1 top-level record of the dump was skipped, the reader not knowing "
      "the tag (tag 0x9c: 1 record, " +
      std::to_string(9 + length) + " bytes): what they held is not loaded";
  const Outcome load = console({"--heap", path, "classes", "hw/"});
  EXPECT_EQ(load.status, 0) << load.err;
  EXPECT_NE(load.err.find(note), std::string::npos) << load.err;
  const Outcome missing = console({"--heap", path, "missing"});
  EXPECT_NE(missing.out.find(note), std::string::npos) << missing.out;
  const Outcome json = console({"--heap", path, "--json", "missing"});
  EXPECT_NE(json.out.find("{\"skippedTag\": \"0x9c\", \"records\": 1, \"bytes\": " +
                          std::to_string(9 + length) + "}"),
            std::string::npos)
      << json.out;
  fs::remove(path);
}

#ifndef _WIN32
// A dump from a pipe or /dev/stdin (plain or gzip) is read as it comes and loads as the file.
TEST_F(ConsoleDump, a_dump_read_from_a_pipe_loads_like_the_file) {
  const std::string want = run({"classes", "hw/"}).out;
  ASSERT_NE(want.find("8 records"), std::string::npos) << want;
  for (const std::string& feed : {"cat '" + path_ + "'", "gzip -c '" + path_ + "'"}) {
    const Outcome r = shellCommand(feed + " | tavolin --heap /dev/stdin classes hw/ 2>/dev/null");
    EXPECT_EQ(r.out, want) << feed;
    EXPECT_EQ(r.status, 0) << feed << r.out;
  }
  const Outcome cut =
      shellCommand("head -c 3000 '" + path_ + "' | tavolin --heap /dev/stdin classes");
  EXPECT_NE(cut.out.find("the file ends in the middle of a record"), std::string::npos) << cut.out;
}
#endif

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
    strings +=
        line.find("toString") != std::string::npos && line.find("hello") != std::string::npos;
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

  // Without --max-nodes the search covers the heap open, however long the chain.
  const Outcome table = console({"--heap", path, "path", last});
  ASSERT_EQ(table.status, 0) << table.err.substr(0, 2000);
  size_t links = 0;
  for (const std::string& line : lines(table.out))
    links += line.find(" field next ") != std::string::npos;
  EXPECT_EQ(links, kLinks - 1) << table.out.substr(0, 2000);
  EXPECT_NE(lineWith(table.out, "static head").find("@100000"), std::string::npos)
      << table.out.substr(0, 2000);
  const std::vector<std::string> rows = lines(table.out);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_NE(rows[rows.size() - 2].find(last), std::string::npos) << rows[rows.size() - 2];
  EXPECT_NE(rows.back().find("a chain of " + std::to_string(kLinks) + " links"), std::string::npos)
      << rows.back();

  const Outcome json = console({"--heap", path, "--json", "path", last, "--max-nodes", "2000000"});
  // A limit given says that it cut the search short.
  const Outcome cut = console({"--heap", path, "path", last, "--max-nodes", "1"});
  fs::remove(path);
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.err.find("--max-nodes 1 cut the search short after 1 node;"), std::string::npos)
      << cut.err;
  ASSERT_EQ(json.status, 0) << json.err.substr(0, 2000);
  size_t next = 0;
  for (size_t at = json.out.find("\"next\""); at != std::string::npos;
       at = json.out.find("\"next\"", at + 1))
    ++next;
  EXPECT_EQ(next, kLinks - 1) << json.out.substr(0, 2000);
}

}  // namespace
}  // namespace clitest
