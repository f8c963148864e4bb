// The usage the console shows is that of the heap alone: the query's rows less what the call's
// own objects (the prefix String and its array, the output stream) added. The console works
// their charge out from them; a second query, made while the first call's objects are still in
// the heap, measures the same charge, and both must give the same rows in the same order, on
// random dumps, the demo heap and dumps a JDK wrote.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>

#include "cli/session.h"
#include "heapkit/hprof_writer.h"
#include "tests/cli/random_dump.h"
#include "tests/common/testkit.h"

namespace clitest {
namespace {

namespace fs = std::filesystem;

using Rows = std::vector<std::tuple<std::string, int32_t, int64_t>>;

Rows rowsOf(const std::vector<simvm::UsageRecord>& records) {
  Rows rows;
  for (const simvm::UsageRecord& r : records) rows.emplace_back(r.className, r.count, r.bytes);
  return rows;
}

// The query made twice: the second counts the first call's objects as well as its own, so the
// difference is what one call's objects add.
Rows measuredTwice(cli::Session& s, const std::string& prefix) {
  const auto scope = s.callScope();
  const simvm::UsageReport once = s.caller().usage(prefix);
  const simvm::UsageReport twice = s.caller().usage(prefix);
  std::map<std::string, simvm::UsageRecord> second;
  for (const simvm::UsageRecord& u : twice.records) second[u.className] = u;
  std::vector<simvm::UsageRecord> kept;
  for (simvm::UsageRecord u : once.records) {
    if (auto it = second.find(u.className); it != second.end()) {
      u.count -= it->second.count - u.count;
      u.bytes -= it->second.bytes - u.bytes;
    }
    if (u.count > 0) kept.push_back(u);
  }
  return rowsOf(kept);
}

Rows computed(cli::Session& s, const std::string& prefix) {
  const auto scope = s.callScope();
  return rowsOf(s.caller().heapUsage(prefix).records);
}

void compareUsage(cli::Session& s, const std::string& where, size_t& rows) {
  for (const char* prefix :
       {"", "java/lang/", "java/lang/String", "java/io/", "hw/", "hw/K1", "x"}) {
    const Rows want = measuredTwice(s, prefix), got = computed(s, prefix);
    ASSERT_EQ(got, want) << where << ", prefix \"" << prefix << "\"";
    rows += got.size();
  }
}

TEST(ConsoleUsage, charge_of_the_call_objects_equals_a_second_query_on_many_heaps) {
  size_t rows = 0;
  {
    cli::GlobalOptions demo;
    demo.lib = testkit::libraryDir();
    cli::Session s(demo);
    compareUsage(s, "demo heap", rows);
  }
  const std::string path =
      (fs::temp_directory_path() / ("tavolin_usage_" + std::to_string(getpid()) + ".hprof"))
          .string();
  for (uint32_t seed = 1; seed <= 12 && !HasFatalFailure(); ++seed) {
    std::mt19937 rng(seed);
    hproftest::HprofWriter::save(path, randomDump(rng));
    cli::Session s(optionsFor(path));
    compareUsage(s, "seed " + std::to_string(seed), rows);
  }
  fs::remove(path);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(TAVOLIN_JVM_DUMPS, ec))
    if (entry.path().filename().string().rfind("hprof_jvm_", 0) == 0 &&
        fs::exists(entry.path() / "scene.hprof") && !HasFatalFailure()) {
      cli::Session s(optionsFor((entry.path() / "scene.hprof").string()));
      compareUsage(s, entry.path().string(), rows);
    }
  EXPECT_GT(rows, 100u);
}

}  // namespace
}  // namespace clitest
