// libFuzzer target: see web/fuzz/request_input.h.
#include "web/fuzz/request_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::answerRequest(data, size);
  return 0;
}
