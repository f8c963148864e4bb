// Dump ids (64-bit VM addresses, never 0) to node numbers, for resolving the references of a
// whole dump.
//
// One array of (id, node) pairs sorted by id, plus a directory on the id's high bits: bucket b
// starts at the first pair whose id is at least min + (b << shift_). A lookup reads one
// directory word and scans a bucket of a pair or two. A JDK writes objects in address order, so
// the objects' pairs arrive as one ascending run (or a few): runs are merged in linear passes
// instead of sorted afresh (the usual two without a copy of the whole), and only an order with
// many runs is sorted outright. References mostly point near their holder, so successive lookups
// touch nearby pairs.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace simvm::hprof {

class IdIndex {
 public:
  using Pair = std::pair<uint64_t, uint32_t>;  // id, node
  static constexpr uint32_t kMissing = 0xFFFFFFFFu;

  // Takes the pairs in any order. Equal ids stay side by side (see firstDuplicate).
  void build(std::vector<Pair> pairs) {
    pairs_ = std::move(pairs);
    sortByRuns();
    buildDirectory();
  }

  size_t size() const { return pairs_.size(); }
  const std::vector<Pair>& pairs() const { return pairs_; }
  std::vector<Pair>& pairs() { return pairs_; }  // sorted; values may be rewritten, not ids

  // The index of the first of two pairs with the same id, or size() when all ids differ.
  size_t firstDuplicate() const {
    for (size_t i = 1; i < pairs_.size(); ++i)
      if (pairs_[i].first == pairs_[i - 1].first) return i - 1;
    return pairs_.size();
  }

  uint32_t find(uint64_t id) const {
    if (pairs_.empty() || id < min_ || id > max_) return kMissing;
    const uint64_t b = (id - min_) >> shift_;
    const size_t end = dir_[b + 1];
    size_t lo = dir_[b], hi = end;
    if (hi - lo <= 8) {  // the usual bucket: a short scan, whose branches are predicted well
      while (lo < hi && pairs_[lo].first < id) ++lo;
      return lo < end && pairs_[lo].first == id ? pairs_[lo].second : kMissing;
    }
    while (lo < hi) {  // the first pair of the bucket not below id
      const size_t mid = lo + (hi - lo) / 2;
      if (pairs_[mid].first < id)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo < end && pairs_[lo].first == id ? pairs_[lo].second : kMissing;
  }

 private:
  struct Less {
    bool operator()(const Pair& a, const Pair& b) const { return a.first < b.first; }
  };

  void sortByRuns() {
    std::vector<size_t> runs{0};  // start of each ascending run, then the end
    for (size_t i = 1; i < pairs_.size(); ++i)
      if (pairs_[i].first < pairs_[i - 1].first) runs.push_back(i);
    runs.push_back(pairs_.size());
    if (runs.size() > 66) {  // not a JDK's order: sort outright
      std::sort(pairs_.begin(), pairs_.end(), Less());
      return;
    }
    if (runs.size() == 3 && runs[1] <= runs[2] - runs[1]) {
      // A short run before a long one: only the short run is copied out, and the merge writes
      // from the front, never past the second run's next read.
      const std::vector<Pair> first(pairs_.begin(), pairs_.begin() + runs[1]);
      size_t out = 0, a = 0, b = runs[1];
      while (a < first.size()) {
        if (b < pairs_.size() && Less()(pairs_[b], first[a]))
          pairs_[out++] = pairs_[b++];
        else
          pairs_[out++] = first[a++];
      }
      return;
    }
    if (runs.size() == 3) {
      // The usual case, the objects before the classes: the short second run is copied out and
      // merged from the back, never writing below the first run's next read. Of equal ids the
      // first run's stays first.
      const std::vector<Pair> second(pairs_.begin() + runs[1], pairs_.end());
      size_t out = pairs_.size(), a = runs[1], b = second.size();
      while (b > 0) {
        if (a > 0 && Less()(second[b - 1], pairs_[a - 1]))
          pairs_[--out] = pairs_[--a];
        else
          pairs_[--out] = second[--b];
      }
      return;
    }
    std::vector<Pair> merged(pairs_.size());
    while (runs.size() > 2) {
      std::vector<size_t> next{0};
      for (size_t r = 0; r + 1 < runs.size(); r += 2) {
        const size_t from = runs[r], mid = runs[r + 1];
        const size_t to = r + 2 < runs.size() ? runs[r + 2] : mid;
        std::merge(pairs_.begin() + from, pairs_.begin() + mid, pairs_.begin() + mid,
                   pairs_.begin() + to, merged.begin() + from, Less());
        next.push_back(to);
      }
      pairs_.swap(merged);
      runs.swap(next);
    }
  }

  void buildDirectory() {
    dir_.clear();
    if (pairs_.empty()) return;
    min_ = pairs_.front().first;
    max_ = pairs_.back().first;
    shift_ = 0;
    while (shift_ < 63 && ((max_ - min_) >> shift_) >= pairs_.size() + 16) ++shift_;
    const size_t buckets = static_cast<size_t>((max_ - min_) >> shift_) + 1;
    dir_.assign(buckets + 1, 0);
    size_t i = 0;
    for (size_t b = 0; b <= buckets; ++b) {
      const uint64_t offset = uint64_t(b) << shift_;
      const bool past = b == buckets || offset > max_ - min_;
      while (i < pairs_.size() && (past || pairs_[i].first < min_ + offset)) ++i;
      dir_[b] = static_cast<uint32_t>(i);
    }
  }

  std::vector<Pair> pairs_;
  std::vector<uint32_t> dir_;
  uint64_t min_ = 0, max_ = 0;
  unsigned shift_ = 0;
};

}  // namespace simvm::hprof
