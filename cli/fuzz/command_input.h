// The console's command line and shell lines under a fuzzer, run in this process on the demo
// heap (no process is started): the input's first line is a command line (words separated by
// blanks, as argv), each further line a shell line. Every word is also tried as a handle and
// as a class name, as the commands read them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fuzzing {

void runCommandLines(const uint8_t* data, size_t size);

}  // namespace fuzzing
