#include <windows.h>

#include <cstdlib>

#include "tests/common/os_testing.h"

namespace testkit {

void* mapLowPages(size_t bytes) {
  void* p = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!p || reinterpret_cast<uintptr_t>(p) > 0xFFFFFFFFu - bytes) std::abort();
  return p;
}

void unmapPages(void* p, size_t) { VirtualFree(p, 0, MEM_RELEASE); }

bool setAccessible(void* p, size_t bytes, bool accessible) {
  DWORD old;
  return VirtualProtect(p, bytes, accessible ? PAGE_READWRITE : PAGE_NOACCESS, &old) != 0;
}

// Page by page through VirtualQuery (ReadProcessMemory ignores protection under Wine).
bool systemSaysReadable(uint32_t address, size_t n) {
  for (uint64_t at = address, end = uint64_t(address) + n; at < end;) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<void*>(static_cast<uintptr_t>(at)), &info, sizeof info) !=
        sizeof info)
      return false;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) ||
        info.Protect == 0)
      return false;
    at = reinterpret_cast<uintptr_t>(info.BaseAddress) + uint64_t(info.RegionSize);
  }
  return true;
}

int processId() { return static_cast<int>(GetCurrentProcessId()); }

}  // namespace testkit
