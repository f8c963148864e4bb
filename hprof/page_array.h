// An array of plain values in pages of its own (an anonymous mapping where there is mmap): its
// memory goes back to the system as soon as it is freed, whatever the allocator would keep, and
// whole pages of it may be given back earlier (releasePages).
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace simvm::hprof {

template <class T>
class PageArray {
  static_assert(std::is_trivial<T>::value, "plain values only");

 public:
  PageArray() = default;
  // n values, zero (new pages) where mapped, else uninitialized.
  explicit PageArray(size_t n) : n_(n) {
    if (n == 0) return;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
#ifdef MAP_ANONYMOUS
    void* p =
        mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    p_ = static_cast<T*>(p);
#else
    p_ = new T[n];
#endif
  }
  ~PageArray() { reset(); }
  PageArray(PageArray&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)), n_(std::exchange(o.n_, 0)) {}
  PageArray& operator=(PageArray&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
      n_ = std::exchange(o.n_, 0);
    }
    return *this;
  }
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;

  void reset() {
    if (!p_) return;
#ifdef MAP_ANONYMOUS
    munmap(p_, n_ * sizeof(T));
#else
    delete[] p_;
#endif
    p_ = nullptr;
    n_ = 0;
  }
  size_t size() const { return n_; }
  T* data() { return p_; }
  const T* data() const { return p_; }
  T& operator[](size_t i) { return p_[i]; }
  const T& operator[](size_t i) const { return p_[i]; }

 private:
  T* p_ = nullptr;
  size_t n_ = 0;
};

}  // namespace simvm::hprof
