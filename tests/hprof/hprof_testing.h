// Helpers of the loader tests: dumps written to temporary files and loaded back.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "heapkit/hprof_writer.h"
#include "hprof/hprof.h"
#include "tests/common/os_testing.h"

namespace hproftest {

// The name of the folder of dumps taken from a Java program's source text: FNV-1a, the same in
// 32- and 64-bit trees, which share the folder ("hprof_jvm_<16 hex digits>").
inline std::string jvmDumpFolderName(const std::string& sourceText) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : sourceText) hash = (hash ^ c) * 0x100000001b3ull;
  char key[32];
  std::snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(hash));
  return "hprof_jvm_" + std::string(key);
}

inline std::string tempPath(const std::string& name) {
  return ::testing::TempDir() + "hprof_" + std::to_string(testkit::processId()) + "_" + name;
}

// A file that is removed when the test is done with it.
struct TempFile {
  TempFile(const std::string& bytes, const std::string& name = "dump.hprof")
      : path(tempPath(name)) {
    HprofWriter::save(path, bytes);
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

inline std::unique_ptr<simvm::LoadedHeap> loadBytes(const std::string& bytes,
                                                    const simvm::HprofOptions& options = {}) {
  TempFile file(bytes);
  return simvm::loadHprof(file.path, options);
}

// The handle a dump id became; fails the test when there is none.
inline uint32_t handleOf(const simvm::LoadedHeap& heap, uint64_t id) {
  auto it = heap.handleOfId.find(id);
  EXPECT_NE(it, heap.handleOfId.end()) << "no handle for id 0x" << std::hex << id;
  return it == heap.handleOfId.end() ? 0 : it->second;
}

}  // namespace hproftest
