// Every saved fuzzing input, fed to the entry function its libFuzzer target calls: the seeds
// and every input that once crashed, leaked or hung (<folder>/fuzz/regressions/<target>/). A
// fault that comes back fails here in every configuration, under the sanitizers too.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "cli/fuzz/command_input.h"
#include "cli/fuzz/report_input.h"
#include "hprof/fuzz/dump_input.h"
#include "native/fuzz/stub_input.h"
#ifdef TAVOLIN_HAVE_WEB
#include "web/fuzz/request_input.h"
#endif

namespace {

struct SavedInput {
  const char* target;
  const char* path;
};

// {"dump", "/.../hprof/fuzz/seeds/dump/scene-id4.hprof"}, ... (made by cmake/fuzz.cmake)
const SavedInput kSavedInputs[] = {
#include "fuzz_inputs.inc"
    {nullptr, nullptr}};

using Entry = void (*)(const uint8_t*, size_t);

void replay(const std::string& target, Entry entry) {
  size_t replayed = 0;
  for (const SavedInput& input : kSavedInputs) {
    if (!input.target || target != input.target) continue;
    SCOPED_TRACE(input.path);
    std::ifstream in(input.path, std::ios::binary);
    ASSERT_TRUE(in) << "cannot read " << input.path;
    // A buffer of exactly the input's size, as libFuzzer gives: a string's would end in a
    // terminator that hides a read one byte past the end.
    const std::string read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<uint8_t> bytes(read.begin(), read.end());
    entry(bytes.data(), bytes.size());
    ++replayed;
  }
  EXPECT_GT(replayed, 0u) << "no saved inputs for " << target;
}

}  // namespace

TEST(FuzzReplay, every_saved_input_has_a_target) {
  static const std::map<std::string, int> kTargets = {{"dump", 0},         {"dump_gzip", 0},
                                                      {"stubs", 0},        {"report", 0},
                                                      {"command_line", 0}, {"request", 0}};
  for (const SavedInput& input : kSavedInputs) {
    if (input.target) {
      EXPECT_EQ(kTargets.count(input.target), 1u) << input.path;
    }
  }
}

TEST(FuzzReplay, dumps_load_or_are_refused) { replay("dump", fuzzing::loadDumpBytes); }
TEST(FuzzReplay, gzip_dumps_load_or_are_refused) { replay("dump_gzip", fuzzing::loadDumpGzipped); }
TEST(FuzzReplay, stub_calls_keep_to_their_arrays) { replay("stubs", fuzzing::callStubs); }
TEST(FuzzReplay, report_streams_are_presented_or_refused) {
  replay("report", fuzzing::presentReportBytes);
}
TEST(FuzzReplay, command_and_shell_lines_run_or_are_refused) {
  replay("command_line", fuzzing::runCommandLines);
}
#ifdef TAVOLIN_HAVE_WEB
TEST(FuzzReplay, requests_are_answered_with_a_status_the_server_gives) {
  replay("request", fuzzing::answerRequest);
}
#endif
