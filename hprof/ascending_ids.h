// Ids that ascend with their positions to those positions, without a table of (id, position)
// pairs: a JDK dumps its objects in address order, so the position is where the id is found.
//
// A directory on the id's high bits gives, for bucket b, the first position whose id is at
// least min + (b << shift_). Each position keeps the low 32 bits of its id's distance from min:
// a bucket spans at most 2^32 ids and never straddles a multiple of 2^32, so within one bucket
// they order and tell apart the ids as the whole ids would. Only a range so sparse that a bucket
// spans more reads the ids themselves (IdAt: position -> id). A lookup reads one directory word
// and a cache line of a bucket; eight bytes an id, where a table of (id, position) pairs took
// sixteen.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#include "hprof/page_array.h"

namespace simvm::hprof {

template <class IdAt>
class AscendingIds {
 public:
  static constexpr uint32_t kMissing = 0xFFFFFFFFu;

  AscendingIds() = default;
  // idAt(0) < idAt(1) < ... < idAt(n - 1), n below kMissing.
  AscendingIds(IdAt idAt, size_t n) : idAt_(std::move(idAt)), n_(n) { buildDirectory(); }

  size_t size() const { return n_; }

  // The position of id, or kMissing.
  uint32_t find(uint64_t id) const {
    if (n_ == 0 || id < min_ || id > max_) return kMissing;
    const size_t b = static_cast<size_t>((id - min_) >> shift_);
    const size_t lo = dir_[b], end = dir_[b + 1];
    if (low_.size()) {
      const uint32_t* low = low_.data();
      return search(lo, end, static_cast<uint32_t>(id - min_), [low](size_t p) { return low[p]; });
    }
    return search(lo, end, id, idAt_);
  }

 private:
  // The first of positions [lo, end) whose key is not below key, if its key is key.
  template <class Key, class KeyAt>
  uint32_t search(size_t lo, size_t end, Key key, const KeyAt& at) const {
    size_t hi = end;
    while (hi - lo > 8) {  // a crowded bucket: halved down to a short scan
      const size_t mid = lo + (hi - lo) / 2;
      if (at(mid) < key)
        lo = mid + 1;
      else
        hi = mid;
    }
    while (lo < hi && at(lo) < key) ++lo;
    return lo < end && at(lo) == key ? static_cast<uint32_t>(lo) : kMissing;
  }

  void buildDirectory() {
    if (n_ == 0) return;
    min_ = idAt_(0);
    max_ = idAt_(n_ - 1);
    while (shift_ < 63 && ((max_ - min_) >> shift_) >= n_ + 16) ++shift_;
    const size_t buckets = static_cast<size_t>((max_ - min_) >> shift_) + 1;
    dir_ = PageArray<uint32_t>(buckets + 1);
    if (shift_ <= 32) low_ = PageArray<uint32_t>(n_);
    size_t b = 0;
    for (size_t p = 0; p < n_; ++p) {
      const uint64_t offset = idAt_(p) - min_;
      if (low_.size()) low_[p] = static_cast<uint32_t>(offset);
      for (const size_t own = static_cast<size_t>(offset >> shift_); b <= own;)
        dir_[b++] = static_cast<uint32_t>(p);
    }
    while (b <= buckets) dir_[b++] = static_cast<uint32_t>(n_);
  }

  IdAt idAt_{};
  size_t n_ = 0;
  PageArray<uint32_t> dir_, low_;  // freed, they are given back at once
  uint64_t min_ = 0, max_ = 0;
  unsigned shift_ = 0;
};

}  // namespace simvm::hprof
