// A fuzz target without libFuzzer: feeds each file named on the command line, and each file of
// each folder named (in name order), to the target's LLVMFuzzerTestOneInput once. The sanitizer
// tree links every fuzz target with this main and runs it over the target's saved inputs, so
// that a target which no longer builds or links, or an input that fails again, fails the tests.
//   fuzz_<name> PATH...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

// False when the file cannot be read.
bool runFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fprintf(stderr, "%s (%zu bytes)\n", path.c_str(), bytes.size());
  // A copy of exactly the input's size (the string's own buffer ends in a terminator, often
  // more), so that a read past its end is caught as under libFuzzer.
  std::vector<uint8_t> copy(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(copy.data(), copy.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
    return 2;
  }
  size_t ran = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (fs::is_directory(argv[i], ec)) {
      for (const fs::directory_entry& e : fs::directory_iterator(argv[i], ec))
        if (e.is_regular_file()) files.push_back(e.path());
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(argv[i]);
    }
    for (const fs::path& f : files) {
      if (!runFile(f)) {
        std::fprintf(stderr, "cannot read %s\n", f.c_str());
        return 2;
      }
      ++ran;
    }
  }
  // A target given no inputs has tested nothing.
  if (ran == 0) {
    std::fprintf(stderr, "no inputs\n");
    return 1;
  }
  std::printf("%zu inputs ran\n", ran);
  return 0;
}
