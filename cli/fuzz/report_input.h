// The console's reading of a report stream under a fuzzer: the bytes a library writes to its
// stream, decoded as a report (and as a usage report) and, when they decode, presented as
// table and JSON with every view of the details, on the demo heap. The handles in a stream are
// the library's word only: the console must describe any of them without trusting it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fuzzing {

void presentReportBytes(const uint8_t* data, size_t size);

}  // namespace fuzzing
