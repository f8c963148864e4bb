// The dump reader under a fuzzer: bytes loaded as a heap dump file, through to a heap laid out
// in a stand-in VM. The libFuzzer targets (fuzz_dump*.cpp) and the regression replay
// (tests/fuzz_replay) call these, so that a saved input fails the same way in both.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fuzzing {

// The bytes as a dump file: plain, or a gzip stream when they begin with its magic. A file the
// loader refuses (HprofError) is an answer; a crash, a leak or any other exception is a finding.
void loadDumpBytes(const uint8_t* data, size_t size);

// The bytes as the content of a gzip stream (written in stored blocks, with its checksum), so
// that the inflating reader and its thread see every dump the fuzzer makes.
void loadDumpGzipped(const uint8_t* data, size_t size);

}  // namespace fuzzing
