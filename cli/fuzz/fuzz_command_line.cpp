// libFuzzer target: see cli/fuzz/command_input.h.
#include "cli/fuzz/command_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::runCommandLines(data, size);
  return 0;
}
