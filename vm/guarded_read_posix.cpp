// The guarded read on Linux: process_vm_readv on our own pid reads through the kernel, which
// answers EFAULT for an unreadable address instead of raising a signal. Some sandboxes refuse
// the call; then each read becomes a write of the word into a fresh pipe, which fails with
// EFAULT just the same.
#include <errno.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

#include "vm/guarded_read.h"
#include "vm/memory.h"

namespace tv {
namespace {

// Set once the kernel has refused process_vm_readv; several threads may probe at once.
std::atomic<int> g_readvRefused{0};

int readThroughPipe(uint32_t address, uint32_t* out) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return 0;
  int ok = 0;
  ssize_t n;
  do {
    n = write(fds[1], vmPointer(address), sizeof *out);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof *out)) {
    uint32_t value;
    if (read(fds[0], &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
      *out = value;
      ok = 1;
    }
  }
  close(fds[0]);
  close(fds[1]);
  return ok;
}

}  // namespace

// process_vm_readv takes the whole batch in one call: it stops at the first remote element
// that faults and reports the bytes read before it.
int readableRun(const uint32_t* addresses, int n, uint32_t* values) {
  if (n > kGuardedBatch) n = kGuardedBatch;
  if (!g_readvRefused.load(std::memory_order_relaxed)) {
    struct iovec remote[kGuardedBatch];
    for (int i = 0; i < n; i++) {
      remote[i].iov_base = const_cast<void*>(vmPointer(addresses[i]));
      remote[i].iov_len = sizeof(uint32_t);
    }
    struct iovec local = {values, n * sizeof(uint32_t)};
    ssize_t bytes = process_vm_readv(getpid(), &local, 1, remote, static_cast<unsigned long>(n), 0);
    if (bytes >= 0) return static_cast<int>(bytes / static_cast<ssize_t>(sizeof(uint32_t)));
    if (errno != ENOSYS && errno != EPERM) return 0;
    g_readvRefused.store(1, std::memory_order_relaxed);
  }
  int i = 0;
  while (i < n && readThroughPipe(addresses[i], &values[i])) i++;
  return i;
}

// process_vm_readv answers a batch in one call: nothing to learn across batches.
int readableRunIn(PageRuns&, const uint32_t* addresses, int n, uint32_t* values) {
  return readableRun(addresses, n, values);
}

}  // namespace tv
