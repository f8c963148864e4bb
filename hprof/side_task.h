// Work run on a second thread beside the loader's own, joined before the loader goes on (or
// unwinds). Where no thread can be had, the work runs at join() instead; either way join()
// raises what it raised.
#pragma once
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace simvm::hprof {

class SideTask {
 public:
  explicit SideTask(std::function<void()> work) : work_(std::move(work)) {
    try {
      thread_ = std::thread([this] { runCatching(); });
    } catch (const std::system_error&) {
    }
  }
  ~SideTask() {
    if (thread_.joinable()) thread_.join();
  }
  SideTask(const SideTask&) = delete;
  SideTask& operator=(const SideTask&) = delete;

  void join() {
    if (thread_.joinable())
      thread_.join();
    else if (!ran_)
      runCatching();
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

 private:
  void runCatching() {
    ran_ = true;
    try {
      work_();
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  std::function<void()> work_;
  std::exception_ptr failure_;
  bool ran_ = false;
  std::thread thread_;
};

}  // namespace simvm::hprof
