// A map from dump ids (64-bit, never 0) to 32-bit values, for the HPROF loader's smaller tables
// (names, stack frames); the objects go through IdIndex.
//
// Open addressing with linear probing over a power-of-two table of (key, value) pairs; key 0
// marks an empty cell, which is why id 0 (null in a dump) can never be a key. The table doubles
// when it is half full, so a probe run stays short; there is no removal. Ids are VM addresses
// (8-aligned, clustered), so they are mixed before use as a bucket index.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace simvm::hprof {

class IdMap {
 public:
  static constexpr uint32_t kMissing = 0xFFFFFFFFu;

  explicit IdMap(size_t expected = 0) { reserve(expected); }

  size_t size() const { return count_; }

  void reserve(size_t expected) {
    size_t want = 16;
    while (want < expected * 2) want <<= 1;
    if (want > cells_.size()) rehash(want);
  }

  // Inserts id -> value unless id is there already; returns the value the map now holds.
  uint32_t insert(uint64_t id, uint32_t value) {
    if ((count_ + 1) * 2 > cells_.size()) rehash(cells_.size() * 2);
    Cell* c = probe(id);
    if (c->key == 0) {
      c->key = id;
      c->value = value;
      ++count_;
    }
    return c->value;
  }

  uint32_t find(uint64_t id) const {
    if (id == 0) return kMissing;
    const size_t mask = cells_.size() - 1;
    for (size_t i = bucket(id) & mask;; i = (i + 1) & mask) {
      const Cell& c = cells_[i];
      if (c.key == id) return c.value;
      if (c.key == 0) return kMissing;
    }
  }

 private:
  struct Cell {
    uint64_t key;
    uint32_t value;
  };

  static size_t bucket(uint64_t id) {
    id ^= id >> 33;
    id *= 0xff51afd7ed558ccdull;
    id ^= id >> 33;
    return static_cast<size_t>(id);
  }

  Cell* probe(uint64_t id) {
    const size_t mask = cells_.size() - 1;
    for (size_t i = bucket(id) & mask;; i = (i + 1) & mask)
      if (cells_[i].key == id || cells_[i].key == 0) return &cells_[i];
  }

  void rehash(size_t cells) {
    std::vector<Cell> old(cells, Cell{0, 0});
    old.swap(cells_);
    for (const Cell& c : old)
      if (c.key) *probe(c.key) = c;
  }

  std::vector<Cell> cells_ = std::vector<Cell>(16, Cell{0, 0});
  size_t count_ = 0;
};

}  // namespace simvm::hprof
