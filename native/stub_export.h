// What every exported stub shares. The VM binds each native method to the symbol
// Java_com_norvane_debug_Tavolin_<method>_stub and calls it with the method's argument slots
// (slot 0 = first argument; objects arrive as handle values) and an execution environment,
// which the stubs ignore. Everything else in the library has hidden visibility.
#pragma once
#include <stdint.h>

#if defined(_WIN32)
// Tavolin2.dll: only what is marked dllexport is exported, under its plain cdecl name.
#define TAVOLIN_STUB extern "C" __attribute__((dllexport))
#else
#define TAVOLIN_STUB extern "C" __attribute__((visibility("default")))
#endif

namespace tv {

// A method with an object result stores it into slot 0 and returns the address of slot 1.
inline uint32_t* stubReturnObject(uint32_t* slots, uint32_t result) {
  slots[0] = result;
  return slots + 1;
}

// A void method returns the address of slot 0 unchanged.
inline uint32_t* stubReturnVoid(uint32_t* slots) { return slots; }

}  // namespace tv
