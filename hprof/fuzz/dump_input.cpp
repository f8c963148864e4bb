#include "hprof/fuzz/dump_input.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "hprof/hprof.h"

namespace fuzzing {
namespace {

// A case loads in milliseconds: no input of the fuzzer's sizes (tens of kilobytes) needs more
// than this, and a small gzip file cannot inflate beyond it.
constexpr uint64_t kMaxStreamBytes = 4u << 20;

// Where the bytes are written for the loader, which reads files. On Linux a memory file, made
// once per process, so that a case costs no disk; elsewhere a file in the temporary folder.
class DumpFile {
 public:
  DumpFile() {
#if defined(__linux__)
    fd_ = memfd_create("tavolin-fuzz-dump", 0);
    if (fd_ >= 0) {
      path_ = "/proc/self/fd/" + std::to_string(fd_);
      return;
    }
#endif
    path_ = (std::filesystem::temp_directory_path() /
             ("tavolin-fuzz-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".hprof"))
                .string();
  }
  ~DumpFile() {
#if defined(__linux__)
    if (fd_ >= 0) {
      close(fd_);
      return;
    }
#endif
    std::remove(path_.c_str());
  }

  const std::string& write(const uint8_t* data, size_t size) {
#if defined(__linux__)
    if (fd_ >= 0) {
      if (ftruncate(fd_, 0) != 0 || pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
      return path_;
    }
#endif
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
    return path_;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

void load(const uint8_t* data, size_t size) {
  static DumpFile file;
  simvm::HprofOptions options;
  options.maxStreamBytes = kMaxStreamBytes;
  try {
    const std::unique_ptr<simvm::LoadedHeap> heap =
        simvm::loadHprof(file.write(data, size), options);
    // The heap as the console first looks at it: every class by name.
    for (uint32_t cls : heap->vm->classes()) (void)heap->vm->className(cls);
  } catch (const simvm::HprofError&) {
    // refused, with its offset: the answer for a damaged file
  }
}

uint32_t crc32(const uint8_t* data, size_t size) {
  static const std::vector<uint32_t> table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void putLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

void loadDumpBytes(const uint8_t* data, size_t size) { load(data, size); }

void loadDumpGzipped(const uint8_t* data, size_t size) {
  std::vector<uint8_t> gz = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 0xff};
  size_t at = 0;
  do {  // stored deflate blocks of at most 65535 bytes; an empty input is one empty block
    const uint16_t n = static_cast<uint16_t>(std::min<size_t>(size - at, 65535));
    gz.push_back(at + n == size ? 1 : 0);
    gz.push_back(static_cast<uint8_t>(n));
    gz.push_back(static_cast<uint8_t>(n >> 8));
    gz.push_back(static_cast<uint8_t>(~n));
    gz.push_back(static_cast<uint8_t>(~n >> 8));
    gz.insert(gz.end(), data + at, data + at + n);
    at += n;
  } while (at < size);
  putLe32(gz, crc32(data, size));
  putLe32(gz, static_cast<uint32_t>(size));
  load(gz.data(), gz.size());
}

}  // namespace fuzzing
