// Shared test helpers: a fresh stand-in VM with a private copy of the library loaded into it,
// and the typed caller. Each test gets its own VM and its own library caches.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "simvm/library.h"
#include "simvm/vm.h"

namespace testkit {

// Under the sanitizers every memory access is checked and the heavy tests take a smaller size
// (their full sizes run in the other configurations).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// The folder of the library built alongside the tests.
std::string libraryDir();

// A VM, the library loaded privately, and a caller bound to both.
struct Heap {
  explicit Heap(const simvm::VmConfig& config = {});
  simvm::Vm vm;
  simvm::Library lib;
  simvm::Caller call;
};

class HeapTest : public ::testing::Test {
 protected:
  HeapTest() : heap_(std::make_unique<Heap>()) {}
  simvm::Vm& vm() { return heap_->vm; }
  simvm::Caller& call() { return heap_->call; }
  // Replaces the heap with one made from another configuration (say, placed above 2 GB).
  void remake(const simvm::VmConfig& config) {
    heap_.reset();
    heap_ = std::make_unique<Heap>(config);
  }

 private:
  std::unique_ptr<Heap> heap_;
};

// "0x1f" style, for messages.
std::string hex(uint32_t v);

}  // namespace testkit
