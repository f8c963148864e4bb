// `bench_heap_digest FILE...`: the digest of each dump's loaded heap (bench/heap_digest.h), one
// line a dump, for showing that two builds of the importer build the same heap.
#include <cstdio>
#include <exception>

#include "bench/heap_digest.h"
#include "hprof/hprof.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_heap_digest DUMP...\n");
    return 2;
  }
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    try {
      std::printf("%016llx %s\n",
                  static_cast<unsigned long long>(bench::heapDigest(*simvm::loadHprof(argv[i]))),
                  argv[i]);
    } catch (const std::exception& e) {
      std::printf("error %s: %s\n", argv[i], e.what());
      failed = 1;
    }
  }
  return failed;
}
