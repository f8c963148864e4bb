// The one seam through which the library reads VM memory. An address stays a uint32_t until
// vmPointer turns it into a host pointer: in a 64-bit process the VM keeps all of its memory
// below 4 GB, so zero-extension is enough. Nothing else in the library makes a pointer from
// a VM address.
#pragma once
#include <stdint.h>
#include <string.h>

namespace tv {

inline const void* vmPointer(uint32_t address) {
  return reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
}

inline uint32_t vmRead32(uint32_t address) {
  uint32_t v;
  memcpy(&v, vmPointer(address), sizeof v);
  return v;
}

inline uint16_t vmRead16(uint32_t address) {
  uint16_t v;
  memcpy(&v, vmPointer(address), sizeof v);
  return v;
}

// The only writes the library makes into VM memory: a result array it asked the VM to
// allocate, and the element of an array the caller passed for a message.
inline void vmWriteBlock(uint32_t address, const void* bytes, size_t count) {
  memcpy(const_cast<void*>(vmPointer(address)), bytes, count);
}

inline void vmWrite32(uint32_t address, uint32_t value) {
  vmWriteBlock(address, &value, sizeof value);
}

// A NUL-terminated VM string; null for address 0.
inline const char* vmString(uint32_t address) {
  return static_cast<const char*>(vmPointer(address));
}

}  // namespace tv
