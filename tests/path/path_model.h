// A plain model of findPathToRoot0, written straight from its definition and slow on purpose:
// every level walks the whole handle table, every thread met is scanned again on every level,
// and every reference into a level is matched by a linear scan of that level's pairs.
//
// It reads the heap only through simvm::Vm (read32/read16/pointer and the VM's services), with
// its own offsets, and never touches the library's code. One Model stands for one loaded
// library: its set of Reference classes outlives calls, as the library's does.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "simvm/vm.h"

namespace pathmodel {

struct Answer {
  std::vector<uint32_t> path;  // root first, target last; empty on failure
  std::string message;         // empty on success
};

class Model {
 public:
  explicit Model(simvm::Vm& vm) : vm_(vm) {}

  Answer find(uint32_t target, int32_t maxNodes) {
    first_ = vm_.tableFirst();
    end_ = vm_.tableEnd();
    classClass_ = findClass("java/lang/Class");
    threadClass_ = findClass("java/lang/Thread");
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

  const std::set<uint32_t>& referenceClasses() const { return referenceClasses_; }

 private:
  static Answer failed(const char* message) { return Answer{{}, message}; }

  // --- the heap, read with the VM's own offsets -----------------------------------------
  uint32_t word(uint32_t address) const { return vm_.read32(address); }
  uint32_t findClass(const char* name) { return vm_.serviceFindClass(name); }

  bool isLive(uint32_t h) const {
    return h != 0 && h % 8 == 0 && h >= first_ && h < end_ && word(h) != 0;
  }
  uint32_t typeCode(uint32_t h) const { return word(h + 4) & 0x1F; }
  uint32_t length(uint32_t h) const { return word(h + 4) >> 5; }
  bool isObject(uint32_t h) const { return isLive(h) && typeCode(h) == 0; }
  bool isObjectArray(uint32_t h) const { return isLive(h) && typeCode(h) == 2; }
  uint32_t liveOrZero(uint32_t h) const { return isLive(h) ? h : 0; }

  uint32_t classOf(uint32_t h) const {
    if (isObject(h)) return liveOrZero(word(word(h + 4)));        // MethodTable word 0
    if (isObjectArray(h)) return liveOrZero(word(word(h) + 4 * length(h)));  // after the elements
    return 0;
  }
  bool isClassObject(uint32_t h) const {
    return isObject(h) && classClass_ != 0 && word(word(h + 4)) == classClass_;
  }
  uint32_t superOf(uint32_t c) const { return isLive(c) ? liveOrZero(word(word(c) + 16)) : 0; }

  struct Field {
    bool isStatic, isReference;
    uint32_t value;  // static: the value; instance: the body offset
  };
  std::vector<Field> fieldsOf(uint32_t c) const {
    std::vector<Field> fields;
    if (!isLive(c)) return fields;
    uint32_t descriptor = word(c);
    uint32_t count = vm_.read16(descriptor + 76);
    uint32_t table = word(descriptor + 40);
    for (uint32_t i = 0; i < count; i++) {
      uint32_t entry = table + 20 * i;
      char kind = *static_cast<const char*>(vm_.pointer(word(entry + 4)));
      fields.push_back({(vm_.read16(entry + 12) & 0x0008) != 0, kind == 'L' || kind == '[',
                        word(entry + 16)});
    }
    return fields;
  }
  std::vector<uint32_t> chainOf(uint32_t c) const {
    std::vector<uint32_t> chain;
    for (; c != 0 && chain.size() < 1024; c = superOf(c)) chain.push_back(c);
    return chain;
  }

  bool isThread(uint32_t h) const {
    if (!isObject(h) || threadClass_ == 0) return false;
    for (uint32_t c : chainOf(classOf(h)))
      if (c == threadClass_) return true;
    return false;
  }

  // The values a thread's frames hold that the stack scan turns into entries: never the
  // calling thread's; a slot value that is a live slot address naming a class object, or an
  // object or object array that has a class.
  std::vector<uint32_t> stackEntries(uint32_t thread) {
    std::vector<uint32_t> entries;
    uint32_t current = static_cast<uint32_t>(
        vm_.serviceStaticMethod(threadClass_, "currentThread",
                                "()Ljava/lang/Thread;"));
    if (current == thread) return entries;
    uint32_t block = word(word(thread) + 12);
    if (block == 0) return entries;
    for (uint32_t frame = word(block + 8); frame != 0; frame = word(frame + 16)) {
      uint32_t method = word(frame + 28);
      if (method == 0) continue;
      uint32_t locals = word(frame + 12);
      uint32_t count = vm_.read16(method + 60);
      for (uint32_t i = 0; locals != 0 && i < count; i++) {
        uint32_t v = word(locals + 4 * i);
        if (!isLive(v)) continue;
        if (isClassObject(v) || ((isObject(v) || isObjectArray(v)) && classOf(v) != 0))
          entries.push_back(v);
      }
    }
    return entries;
  }

  // --- Reference classes ----------------------------------------------------------------
  void registerReferenceClasses() {
    uint32_t reference = findClass("java/lang/ref/Reference");
    for (uint32_t h = first_; h < end_; h += 8) {
      uint32_t c = classOf(h);
      if (c == 0) continue;
      for (uint32_t s = superOf(c); s != 0; s = superOf(s)) {
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
    for (uint32_t h = first_; h < end_; h += 8) {
      if (isClassObject(h)) {
        for (const Field& f : fieldsOf(h)) {
          if (!f.isStatic || !f.isReference || f.value == 0 || isReferenceInstance(f.value))
            continue;
          int64_t r = tryLink(f.value, h);
          if (r != -1) return r;
        }
      } else if (isObject(h)) {
        for (uint32_t c : chainOf(classOf(h))) {
          for (const Field& f : fieldsOf(c)) {
            if (f.isStatic || !f.isReference) continue;
            uint32_t v = word(word(h) + f.value);
            if (v != 0 && !isReferenceInstance(v)) tryLink(v, h);
          }
        }
        if (isThread(h)) {
          std::vector<uint32_t> entries = stackEntries(h);
          for (size_t i = entries.size(); i-- > 0;) {
            int64_t r = tryLink(entries[i], h);
            if (r != -1) return r;
          }
        }
      } else if (isObjectArray(h)) {
        for (uint32_t i = 0; i < length(h); i++) {
          uint32_t v = word(word(h) + 4 * i);
          if (v != 0 && !isReferenceInstance(v)) tryLink(v, h);
        }
      }
    }
    return -1;
  }

  simvm::Vm& vm_;
  uint32_t first_ = 0, end_ = 0;
  uint32_t classClass_ = 0, threadClass_ = 0;  // looked up once per call
  std::set<uint32_t> referenceClasses_;
  std::vector<int64_t> queue_;
  std::set<uint32_t> visited_;
  size_t levelStart_ = 0, levelEnd_ = 0;
};

}  // namespace pathmodel
