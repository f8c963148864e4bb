// The library's stubs under a fuzzer: a small stand-in heap shaped by the input, then calls
// whose argument slots the input chooses (handles of every kind, junk words, class prefixes,
// node limits), made through the loaded library as the VM makes them. The answers are checked
// against nothing but the rules every answer keeps: no crash or leak, no write to the heap
// outside the arrays and objects the call was given or made, and report streams that decode.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fuzzing {

void callStubs(const uint8_t* data, size_t size);

}  // namespace fuzzing
