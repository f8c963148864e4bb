// libFuzzer target: see native/fuzz/stub_input.h.
#include "native/fuzz/stub_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::callStubs(data, size);
  return 0;
}
