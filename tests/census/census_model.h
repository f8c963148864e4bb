// A plain model of getClasses0 and getHandles0, written straight from their definitions and
// slow on purpose: every slot walks its class chain again and compares the prefix again. It
// produces the report's bytes, so it also models the order that reaches the sort: the values of
// a chained hash map keyed by name address (101 buckets at first, growing to 2n + 1 buckets
// when the count reaches three quarters, values taken from the last bucket down, each chain
// newest first), the class counts before the array counts, then a stable sort with the same
// comparisons: records with equal keys stay in that order, on every platform.
#pragma once
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/common/heap_model.h"

namespace censusmodel {

// What the runs reached, so that a test can check its heaps are varied enough.
struct Reached {
  int superclassCredits = 0;  // counts added to a class above the object's own
  int arrayRecords = 0;
  int classesSkippedByPrefix = 0;
  int namelessClasses = 0;    // met a class whose name address is 0
  int sharedNameAddress = 0;  // a record counted objects of two different classes
  int equalNames = 0;         // two records of one kind with equal names at different addresses
  int grownMaps = 0;          // maps that outgrew their first 101 buckets
};

struct Record {
  char kind;
  uint32_t handle;
  std::string name;  // "" when the class has no name: sorted as "", written "<unknown>"
  int32_t detail;    // -1: none
  bool nameless;
};

// The map of the census: insertion and growth as the library's container does them, values
// only as record indices.
class OrderedMap {
 public:
  int* find(uint32_t key) {
    for (Node& n : buckets_[bucketOf(key, buckets_.size())])
      if (n.key == key) return &n.value;
    return nullptr;
  }
  void put(uint32_t key, int value) {
    if (count_ >= threshold_) grow();
    auto& b = buckets_[bucketOf(key, buckets_.size())];
    b.insert(b.begin(), Node{key, value});  // at the chain's head
    count_++;
  }
  int count() const { return count_; }
  std::vector<int> values() const {
    std::vector<int> out;
    for (size_t b = buckets_.size(); b-- > 0;)
      for (const Node& n : buckets_[b]) out.push_back(n.value);
    return out;
  }

 private:
  struct Node {
    uint32_t key;
    int value;
  };
  static size_t bucketOf(uint32_t key, size_t size) { return (key & 0x7FFFFFFFu) % size; }
  void grow() {
    std::vector<std::vector<Node>> next(2 * buckets_.size() + 1);
    threshold_ = static_cast<int>(3 * next.size() / 4);
    for (size_t b = buckets_.size(); b-- > 0;)
      for (const Node& n : buckets_[b]) {
        auto& to = next[bucketOf(n.key, next.size())];
        to.insert(to.begin(), n);
      }
    buckets_ = std::move(next);
  }
  std::vector<std::vector<Node>> buckets_ = std::vector<std::vector<Node>>(101);
  int count_ = 0;
  int threshold_ = 75;
};

inline int compareByName(const Record& a, const Record& b) {
  int r = a.name.compare(b.name);  // bytes compared unsigned, as strcmp does
  if (r != 0) return r < 0 ? -1 : 1;
  signed char ka = static_cast<signed char>(a.kind), kb = static_cast<signed char>(b.kind);
  return ka > kb ? 1 : ka < kb ? -1 : 0;
}
inline int compareByCount(const Record& a, const Record& b) {
  if (a.detail == b.detail) return compareByName(a, b);
  return a.detail > b.detail ? -1 : 1;
}

inline void sortRecords(std::vector<Record>& records,
                        int (*compare)(const Record&, const Record&)) {
  std::stable_sort(records.begin(), records.end(),
                   [compare](const Record& a, const Record& b) { return compare(a, b) < 0; });
}

inline std::string writeReport(const std::vector<Record>& records) {
  std::string out = std::to_string(records.size());
  out += '\0';
  for (const Record& r : records) {
    out += r.kind;
    out += ' ';
    out += std::to_string(static_cast<int32_t>(r.handle));
    out += ' ';
    out += r.nameless ? "<unknown>" : r.name;
    if (r.detail >= 0) out += ' ' + std::to_string(r.detail);
    out += '\0';
  }
  return out;
}

// The record makeEntry gives for h, as a Record with no detail; false when none is made.
inline bool entryOf(const heapmodel::Heap& heap, uint32_t h, Record* out) {
  heapmodel::Entry e;
  if (!heap.entry(h, &e)) return false;
  const uint32_t named = e.kind == 'C' ? h : heap.classOf(h);
  *out = Record{e.kind, e.handle, e.className, -1, heap.word(heap.word(named) + 4) == 0};
  return true;
}

inline std::string classes(const heapmodel::Heap& heap, const std::string& prefix,
                           bool creditSuperclasses, bool sortByCount, Reached* reached) {
  std::vector<Record> records;
  OrderedMap instances, arrayCounts;
  std::map<int, uint32_t> firstClassOf;  // record -> the class that made it
  for (uint32_t h = heap.first(); h < heap.end(); h += 8) {
    uint32_t c = heap.classOf(h);
    if (c == 0) continue;
    const bool isArray = heap.objectArray(h);
    // Bounded as the library bounds it, in case a damaged heap has a cycle of superclasses.
    for (int depth = 0; c != 0 && depth < 1024; depth++) {
      const uint32_t nameAddress = heap.word(heap.word(c) + 4);
      const std::string name = heap.name(c);
      if (nameAddress == 0) {
        reached->namelessClasses++;  // a class without a name is counted nowhere
      } else if (name.rfind(prefix, 0) != 0) {
        reached->classesSkippedByPrefix++;
      } else if (name[0] != '[') {
        OrderedMap& map = isArray ? arrayCounts : instances;
        if (int* at = map.find(nameAddress)) {
          records[static_cast<size_t>(*at)].detail++;
          if (firstClassOf[*at] != c) reached->sharedNameAddress++;
        } else {
          Record r;
          if (entryOf(heap, c, &r)) {
            r.detail = 1;
            if (isArray) r.kind = 'A';
            map.put(nameAddress, static_cast<int>(records.size()));
            firstClassOf[static_cast<int>(records.size())] = c;
            records.push_back(r);
          }
        }
        if (depth > 0) reached->superclassCredits++;
      }
      if (!creditSuperclasses) break;
      c = heap.super(c);
    }
  }
  std::vector<Record> listed;
  for (const OrderedMap* map : {&instances, &arrayCounts}) {
    for (int i : map->values()) listed.push_back(records[static_cast<size_t>(i)]);
    if (map->count() > 75) reached->grownMaps++;
  }
  for (const Record& r : listed) {
    if (r.kind == 'A') reached->arrayRecords++;
    for (const Record& other : listed)
      if (&other < &r && other.kind == r.kind && other.name == r.name) reached->equalNames++;
  }
  sortRecords(listed, sortByCount ? compareByCount : compareByName);
  return writeReport(listed);
}

inline std::string handles(const heapmodel::Heap& heap, uint32_t target, bool includeSubclasses,
                           int32_t arrays) {
  std::vector<Record> listed;
  for (uint32_t h = heap.first(); h < heap.end(); h += 8) {
    uint32_t c = heap.classOf(h);
    if (c == 0 || static_cast<int32_t>(heap.objectArray(h)) != arrays) continue;
    for (int depth = 0; c != 0 && depth < 1024;
         depth++, c = includeSubclasses ? heap.super(c) : 0) {
      if (c != target) continue;
      Record r;
      if (entryOf(heap, h, &r)) listed.push_back(r);
      break;
    }
  }
  if (includeSubclasses) sortRecords(listed, compareByName);
  return writeReport(listed);
}

}  // namespace censusmodel
