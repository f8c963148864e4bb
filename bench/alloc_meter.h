// Counts the bytes the process holds from malloc and its peak, by defining malloc and its
// siblings in the benchmark program over glibc's own entry points. The library is loaded as
// libTavolin2.so and resolves malloc from the process, so its allocations pass through here.
// Included by exactly one program (it defines the allocator); under AddressSanitizer, which
// brings its own allocator, and on Windows, whose C runtime has no such entry points to build
// on, nothing is counted and meterAvailable() is false.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
namespace bench {
inline constexpr bool meterAvailable() { return false; }
inline int64_t meterStart() { return 0; }
inline int64_t meterPeakSince(int64_t) { return 0; }
}  // namespace bench
#else
#include <malloc.h>

#include <cerrno>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace bench {

inline std::atomic<int64_t> gHeld{0};
inline std::atomic<int64_t> gPeak{0};

inline void meterAdd(void* p) {
  if (!p) return;
  int64_t now =
      gHeld.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed) +
      static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = gPeak.load(std::memory_order_relaxed);
  while (now > peak && !gPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}
inline void meterRemove(void* p) {
  if (p) gHeld.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

inline constexpr bool meterAvailable() { return true; }
// Starts a measurement: the peak restarts from what is held now, which is returned.
inline int64_t meterStart() {
  int64_t held = gHeld.load(std::memory_order_relaxed);
  gPeak.store(held, std::memory_order_relaxed);
  return held;
}
// The most held at any moment since meterStart, above what was held then.
inline int64_t meterPeakSince(int64_t start) {
  return gPeak.load(std::memory_order_relaxed) - start;
}

}  // namespace bench

extern "C" {
void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  bench::meterAdd(p);
  return p;
}
void* calloc(size_t count, size_t n) {
  void* p = __libc_calloc(count, n);
  bench::meterAdd(p);
  return p;
}
void* realloc(void* old, size_t n) {
  // The old block's size is gone once realloc returns: take it out first, put back on failure
  // (realloc to 0 bytes frees the block and returns null).
  size_t oldSize = old ? malloc_usable_size(old) : 0;
  bench::gHeld.fetch_sub(static_cast<int64_t>(oldSize), std::memory_order_relaxed);
  void* p = __libc_realloc(old, n);
  if (p)
    bench::meterAdd(p);
  else if (n != 0 || !old)
    bench::gHeld.fetch_add(static_cast<int64_t>(oldSize), std::memory_order_relaxed);
  return p;
}
void free(void* p) {
  bench::meterRemove(p);
  __libc_free(p);
}
void* memalign(size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  bench::meterAdd(p);
  return p;
}
void* aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void** out, size_t align, size_t n) {
  void* p = memalign(align, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
}
#endif
