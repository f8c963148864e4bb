// libFuzzer target: see cli/fuzz/report_input.h.
#include "cli/fuzz/report_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::presentReportBytes(data, size);
  return 0;
}
