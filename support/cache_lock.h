// The one lock of the library: it guards the few caches that outlive a call and that calls
// running at once share. It is held briefly and never across a call into the VM.
//
// On Windows it is a slim reader/writer lock of the system rather than std::mutex: with the
// MinGW-w64 toolchain std::mutex links a private copy of a POSIX threads layer into the DLL,
// which takes a thread-local-storage index each time the DLL is loaded and never gives it
// back, so a process could load the DLL only about a thousand times.
#pragma once

namespace tv {

void cacheLock(void);
void cacheUnlock(void);

// Holds the lock for one scope.
struct CacheLockScope {
  CacheLockScope() { cacheLock(); }
  ~CacheLockScope() { cacheUnlock(); }
  CacheLockScope(const CacheLockScope&) = delete;
  CacheLockScope& operator=(const CacheLockScope&) = delete;
};

}  // namespace tv
