#include "hprof/prefault.h"

#include <algorithm>
#include <system_error>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace simvm::hprof {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kStep = 8u << 20;  // populated per call, so that stopping is prompt

// Backs [p, p + n) with writable pages; false when the kernel cannot.
bool populate(uint8_t* p, size_t n) {
#ifdef MADV_POPULATE_WRITE
  return madvise(p, n, MADV_POPULATE_WRITE) == 0;
#else
  (void)p;
  (void)n;
  return false;
#endif
}

}  // namespace

Prefaulter::Prefaulter(void* base, size_t bytes)
    : base_(reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(base) + kPage - 1) &
                                       ~uintptr_t(kPage - 1))),
      bytes_(bytes > size_t(base_ - static_cast<uint8_t*>(base))
                 ? bytes - size_t(base_ - static_cast<uint8_t*>(base))
                 : 0) {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {  // no thread: the fillers fault their own pages
  }
}

Prefaulter::~Prefaulter() {
  {
    std::lock_guard<std::mutex> held(lock_);
    stop_ = true;
  }
  moved_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Prefaulter::allow(size_t bytes) {
  {
    std::lock_guard<std::mutex> held(lock_);
    limit_ = std::max(limit_, std::min(bytes, bytes_));
  }
  moved_.notify_all();
}

void Prefaulter::run() {
  size_t done = 0;
  for (;;) {
    size_t limit;
    {
      std::unique_lock<std::mutex> held(lock_);
      moved_.wait(held, [&] { return stop_ || limit_ >= done + kPage; });
      if (stop_) return;
      limit = limit_ & ~(kPage - 1);
    }
    const size_t n = std::min(limit - done, kStep);
    if (!populate(base_ + done, n)) return;
    done += n;
  }
}

}  // namespace simvm::hprof
