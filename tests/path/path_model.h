// A plain model of findPathToRoot0, written straight from its definition and slow on purpose:
// every level walks the whole handle table, every thread met is scanned again on every level,
// and every reference into a level is matched by a linear scan of that level's pairs.
//
// It reads the heap through the shared plain reader (tests/common/heap_model.h), with its own
// offsets, and never touches the library's code. One Model stands for one loaded
// library: its set of Reference classes outlives calls, as the library's does.
#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "simvm/vm.h"
#include "tests/common/heap_model.h"

namespace pathmodel {

struct Answer {
  std::vector<uint32_t> path;  // root first, target last; empty on failure
  std::string message;         // empty on success
};

class Model {
 public:
  explicit Model(simvm::Vm& vm) : vm_(vm) {}

  Answer find(uint32_t target, int32_t maxNodes) {
    heap_.emplace(vm_);  // bounds and well-known classes as they are now
    registerReferenceClasses();
    Answer answer;
    if (!isObject(target) && !isObjectArray(target)) return failed("Search Failed");
    queue_ = {target, -1};
    visited_ = {target};
    size_t levelStart = 0;
    while (levelStart < queue_.size()) {
      levelStart_ = levelStart;
      levelEnd_ = queue_.size();
      int64_t r = expandLevel();
      if (r != -1) {
        answer.path.push_back(static_cast<uint32_t>(queue_[r]));
        for (int64_t p = queue_[r + 1]; p >= 0; p = queue_[p + 1])
          answer.path.push_back(static_cast<uint32_t>(queue_[p]));
        return answer;
      }
      // The limit, in pairs, compared without 32-bit wrap-around.
      if (static_cast<int64_t>(levelEnd_) >= 2 * static_cast<int64_t>(maxNodes))
        return failed("Exceeded maximum nodes");
      levelStart = levelEnd_;
    }
    return failed("Search Failed");
  }

 private:
  static Answer failed(const char* message) { return Answer{{}, message}; }

  // The heap, read through the shared plain reader (its own offsets, never the library's).
  const heapmodel::Heap& heap() const { return *heap_; }
  bool isObject(uint32_t h) const { return heap().object(h); }
  bool isObjectArray(uint32_t h) const { return heap().objectArray(h); }
  uint32_t classOf(uint32_t h) const { return heap().classOf(h); }
  bool isClassObject(uint32_t h) const { return heap().classObject(h); }

  // The values a thread's frames hold that the stack scan turns into entries: never the
  // calling thread's; a slot value that is a live slot address naming a class object, or an
  // object or object array that has a class.
  std::vector<uint32_t> stackEntries(uint32_t thread) const {
    std::vector<uint32_t> entries;
    heap().stackSlots(thread, [&](uint32_t v, const std::string&) {
      if (isClassObject(v) || ((isObject(v) || isObjectArray(v)) && classOf(v) != 0))
        entries.push_back(v);
    });
    return entries;
  }

  // --- Reference classes ----------------------------------------------------------------
  void registerReferenceClasses() {
    uint32_t reference = vm_.serviceFindClass("java/lang/ref/Reference");
    for (uint32_t h = heap().first(); h < heap().end(); h += 8) {
      uint32_t c = classOf(h);
      if (c == 0) continue;
      for (uint32_t s = heap().super(c); s != 0; s = heap().super(s)) {
        if (s == reference) {
          referenceClasses_.insert(c);
          break;
        }
      }
    }
  }
  bool isReferenceInstance(uint32_t v) const {
    uint32_t c = classOf(v);
    return c != 0 && referenceClasses_.count(c) != 0;
  }

  // --- the search -------------------------------------------------------------------------
  int64_t tryLink(uint32_t v, uint32_t h) {
    if (!visited_.count(v) || visited_.count(h)) return -1;
    for (size_t i = levelStart_; i < levelEnd_; i += 2) {
      if (queue_[i] == static_cast<int64_t>(v)) {
        int64_t n = static_cast<int64_t>(queue_.size());
        queue_.push_back(h);
        queue_.push_back(static_cast<int64_t>(i));
        visited_.insert(h);
        return n;
      }
    }
    return -1;
  }

  int64_t expandLevel() {
    for (uint32_t h = heap().first(); h < heap().end(); h += 8) {
      if (isClassObject(h)) {
        for (const heapmodel::Field& f : heap().fields(h)) {
          if (!f.isStatic || !heapmodel::Heap::reference(f) || f.value == 0 ||
              isReferenceInstance(f.value))
            continue;
          int64_t r = tryLink(f.value, h);
          if (r != -1) return r;
        }
      } else if (isObject(h)) {
        for (uint32_t c : heap().chain(classOf(h))) {
          for (const heapmodel::Field& f : heap().fields(c)) {
            if (f.isStatic || !heapmodel::Heap::reference(f)) continue;
            uint32_t v = heap().instanceValue(h, f);
            if (v != 0 && !isReferenceInstance(v)) tryLink(v, h);
          }
        }
        if (heap().thread(h)) {
          std::vector<uint32_t> entries = stackEntries(h);
          for (size_t i = entries.size(); i-- > 0;) {
            int64_t r = tryLink(entries[i], h);
            if (r != -1) return r;
          }
        }
      } else if (isObjectArray(h)) {
        for (uint32_t i = 0; i < heap().length(h); i++) {
          uint32_t v = heap().element(h, i);
          if (v != 0 && !isReferenceInstance(v)) tryLink(v, h);
        }
      }
    }
    return -1;
  }

  simvm::Vm& vm_;
  std::optional<heapmodel::Heap> heap_;  // made afresh by each call
  std::set<uint32_t> referenceClasses_;
  std::vector<int64_t> queue_;
  std::set<uint32_t> visited_;
  size_t levelStart_ = 0, levelEnd_ = 0;
};

}  // namespace pathmodel
