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

// Other Java threads write these words while we read them. An aligned word is loaded whole,
// with acquire order (a plain load on x86), so that whatever the VM wrote before it stored the
// word (a new body, a new frame) is seen complete when the word leads to it. Each load is one
// reading: a caller that needs the word twice keeps what it read. After such a load the compiler
// must read again from memory whatever it cannot prove private to the caller, so a loop over
// many words keeps what it consults (bounds, counts, the target) in locals.
inline uint32_t vmRead32(uint32_t address) {
  if (address % 4 == 0)
    return __atomic_load_n(static_cast<const uint32_t*>(vmPointer(address)), __ATOMIC_ACQUIRE);
  uint32_t v;
  memcpy(&v, vmPointer(address), sizeof v);
  return v;
}

// vmRead32 of an address the caller has found aligned (a walk checks its first slot once).
inline uint32_t vmRead32Aligned(uint32_t address) {
  return __atomic_load_n(static_cast<const uint32_t*>(vmPointer(address)), __ATOMIC_ACQUIRE);
}

inline uint16_t vmRead16(uint32_t address) {
  if (address % 2 == 0)
    return __atomic_load_n(static_cast<const uint16_t*>(vmPointer(address)), __ATOMIC_ACQUIRE);
  uint16_t v;
  memcpy(&v, vmPointer(address), sizeof v);
  return v;
}

// The only writes the library makes into VM memory: a result array it asked the VM to
// allocate, and the element of an array the caller passed for a message. Other threads may be
// reading those arrays (a walk of another call), so aligned words are stored whole, with
// release order, as the VM stores them.
inline void vmWriteBlock(uint32_t address, const void* bytes, size_t count) {
  if (address % 4 != 0 || count % 4 != 0) {
    memcpy(const_cast<void*>(vmPointer(address)), bytes, count);
    return;
  }
  uint32_t* to = static_cast<uint32_t*>(const_cast<void*>(vmPointer(address)));
  const unsigned char* from = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < count / 4; i++) {
    uint32_t word;
    memcpy(&word, from + 4 * i, sizeof word);
    __atomic_store_n(to + i, word, __ATOMIC_RELEASE);
  }
}

inline void vmWrite32(uint32_t address, uint32_t value) {
  vmWriteBlock(address, &value, sizeof value);
}

// A NUL-terminated VM string; null for address 0.
inline const char* vmString(uint32_t address) {
  return static_cast<const char*>(vmPointer(address));
}

}  // namespace tv
