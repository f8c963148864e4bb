// Ids that ascend with their positions to those positions, with no copy of the ids: a JDK dumps
// its objects in address order, so their ids are looked up where the dump holds them.
//
// A directory on the id's high bits gives, for bucket b, the first position whose id is at
// least min + (b << shift_); IdAt (position -> id) reads the ids themselves. A lookup reads one
// directory word and scans a bucket of a position or two. Four bytes a bucket, about one bucket
// an id, where a table of (id, position) pairs took sixteen bytes an id.
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
    const size_t end = dir_[b + 1];
    size_t lo = dir_[b], hi = end;
    while (hi - lo > 8) {  // a crowded bucket: halved down to a short scan
      const size_t mid = lo + (hi - lo) / 2;
      if (idAt_(mid) < id)
        lo = mid + 1;
      else
        hi = mid;
    }
    while (lo < hi && idAt_(lo) < id) ++lo;
    return lo < end && idAt_(lo) == id ? static_cast<uint32_t>(lo) : kMissing;
  }

 private:
  void buildDirectory() {
    if (n_ == 0) return;
    min_ = idAt_(0);
    max_ = idAt_(n_ - 1);
    while (shift_ < 63 && ((max_ - min_) >> shift_) >= n_ + 16) ++shift_;
    const size_t buckets = static_cast<size_t>((max_ - min_) >> shift_) + 1;
    dir_ = PageArray<uint32_t>(buckets + 1);
    size_t b = 0;
    for (size_t p = 0; p < n_; ++p)
      for (const size_t own = static_cast<size_t>((idAt_(p) - min_) >> shift_); b <= own;)
        dir_[b++] = static_cast<uint32_t>(p);
    while (b <= buckets) dir_[b++] = static_cast<uint32_t>(n_);
  }

  IdAt idAt_{};
  size_t n_ = 0;
  PageArray<uint32_t> dir_;  // freed, it is given back at once
  uint64_t min_ = 0, max_ = 0;
  unsigned shift_ = 0;
};

}  // namespace simvm::hprof
