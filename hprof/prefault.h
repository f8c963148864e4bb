// A thread that has the kernel back a range of fresh memory with pages ahead of the thread that
// fills it. Handing out a zeroed page costs about as much as filling it with data, and both
// loading steps that fill large fresh ranges (inflating a gzip stream, filling the VM's bodies)
// would otherwise do it on their own thread; on a second core it overlaps their work.
//
// Populating never changes what a page holds, so the range may be written while it runs. Where
// the kernel cannot populate (an old kernel, no mmap), the thread stops and nothing else changes.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace simvm::hprof {

class Prefaulter {
 public:
  // Nothing is populated until allow() says how far.
  Prefaulter(void* base, size_t bytes);
  ~Prefaulter();  // stops the thread (what is populated stays)
  Prefaulter(const Prefaulter&) = delete;
  Prefaulter& operator=(const Prefaulter&) = delete;

  // The range may be populated up to `bytes` from its base (clamped to its size).
  void allow(size_t bytes);

 private:
  void run();

  uint8_t* const base_;
  const size_t bytes_;
  std::mutex lock_;
  std::condition_variable moved_;
  size_t limit_ = 0;   // guarded by lock_
  bool stop_ = false;  // guarded by lock_
  std::thread thread_;
};

}  // namespace simvm::hprof
