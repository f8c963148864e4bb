// The little the tests need from the operating system beyond the stand-in VM: pages of their
// own with chosen protection, and asking the system whether memory is readable.
// tests/common/os_posix.cpp for Linux, tests/common/os_windows.cpp for Windows.
#pragma once
#include <cstddef>
#include <cstdint>

namespace testkit {

// Readable and writable pages below 4 GB; aborts when there are none.
void* mapLowPages(size_t bytes);
void unmapPages(void* p, size_t bytes);
// Makes [p, p + bytes) readable and writable, or inaccessible; true on success.
bool setAccessible(void* p, size_t bytes, bool accessible);
// Whether the system would let us read n bytes at `address`, asked without touching them.
bool systemSaysReadable(uint32_t address, size_t n);
int processId();

}  // namespace testkit
