#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "tests/common/os_testing.h"

namespace testkit {

void* mapLowPages(size_t bytes) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(__x86_64__)
  flags |= MAP_32BIT;
#endif
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (p == MAP_FAILED || reinterpret_cast<uintptr_t>(p) > 0xFFFFFFFFu - bytes) std::abort();
  return p;
}

void unmapPages(void* p, size_t bytes) { munmap(p, bytes); }

bool setAccessible(void* p, size_t bytes, bool accessible) {
  return mprotect(p, bytes, accessible ? PROT_READ | PROT_WRITE : PROT_NONE) == 0;
}

// Through the kernel, so that an unreadable page reports a failure instead of a signal.
bool systemSaysReadable(uint32_t address, size_t n) {
  std::vector<char> buf(n);
  iovec local{buf.data(), n};
  iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), n};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(n);
}

int processId() { return static_cast<int>(getpid()); }

}  // namespace testkit
