// libFuzzer target: see hprof/fuzz/dump_input.h.
#include "hprof/fuzz/dump_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::loadDumpBytes(data, size);
  return 0;
}
