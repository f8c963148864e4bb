// A plain reader of the heap for the models of the queries (census, references, path, usage),
// written from the VM's layout with its own offsets (never the library's) and reading through
// simvm::Vm only. Slow and direct on purpose: every question walks the class chain and field
// tables again. The bounds and the well-known classes are those of the moment it is made.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "simvm/vm.h"

namespace heapmodel {

struct Field {
  bool isStatic;
  char signature;  // first byte
  std::string name;
  uint32_t value;  // static: the value; instance: the byte offset
};

// One report record, as the library writes it.
struct Entry {
  char kind;
  uint32_t handle;
  std::string className;
  std::string detail;  // field name, method name with "()", index, or ""
};

class Heap {
 public:
  explicit Heap(simvm::Vm& vm)
      : vm_(vm),
        first_(vm.tableFirst()),
        end_(vm.tableEnd()),
        classClass_(vm.findClass("java/lang/Class")),
        threadClass_(vm.findClass("java/lang/Thread")) {}

  uint32_t word(uint32_t a) const {
    uint32_t v;
    std::memcpy(&v, vm_.pointer(a), 4);
    return v;
  }
  uint16_t half(uint32_t a) const {
    uint16_t v;
    std::memcpy(&v, vm_.pointer(a), 2);
    return v;
  }
  std::string text(uint32_t a) const { return a ? static_cast<const char*>(vm_.pointer(a)) : ""; }

  uint32_t first() const { return first_; }
  uint32_t end() const { return end_; }
  bool live(uint32_t h) const { return h % 8 == 0 && h >= first_ && h < end_ && word(h) != 0; }
  uint32_t typeCode(uint32_t h) const { return word(h + 4) & 0x1F; }
  uint32_t length(uint32_t h) const { return word(h + 4) >> 5; }
  bool object(uint32_t h) const { return live(h) && typeCode(h) == 0; }
  bool objectArray(uint32_t h) const { return live(h) && typeCode(h) == 2; }
  uint32_t element(uint32_t a, uint32_t i) const { return word(word(a) + 4 * i); }

  uint32_t classOf(uint32_t h) const {
    uint32_t c = object(h) ? word(word(h + 4)) : objectArray(h) ? element(h, length(h)) : 0;
    return live(c) ? c : 0;
  }
  bool classObject(uint32_t h) const {
    return object(h) && classClass_ != 0 && word(word(h + 4)) == classClass_;
  }
  std::string name(uint32_t c) const { return c ? text(word(word(c) + 4)) : ""; }
  uint32_t super(uint32_t c) const {
    uint32_t s = word(word(c) + 16);
    return live(s) ? s : 0;
  }
  uint32_t instanceSize(uint32_t c) const { return half(word(c) + 82); }

  // Bounded, as a damaged heap may have a cycle of superclasses.
  std::vector<uint32_t> chain(uint32_t c) const {
    std::vector<uint32_t> out;
    for (; c != 0 && out.size() < 1024; c = super(c)) out.push_back(c);
    return out;
  }
  std::vector<Field> fields(uint32_t c) const {
    std::vector<Field> out;
    uint32_t table = word(word(c) + 40);
    for (uint32_t i = 0, n = half(word(c) + 76); i < n; i++) {
      uint32_t e = table + 20 * i;
      out.push_back(
          {(half(e + 12) & 8) != 0, text(word(e + 4))[0], text(word(e + 8)), word(e + 16)});
    }
    return out;
  }
  static bool reference(const Field& f) { return f.signature == 'L' || f.signature == '['; }
  uint32_t instanceValue(uint32_t h, const Field& f) const { return word(word(h) + f.value); }

  bool thread(uint32_t h) const {
    if (!object(h)) return false;
    for (uint32_t c : chain(classOf(h)))
      if (c == threadClass_) return true;
    return false;
  }
  // Each accepted local of another thread's frames, innermost frame first, with its method.
  void stackSlots(uint32_t t,
                  const std::function<void(uint32_t, const std::string&)>& visit) const {
    if (t == vm_.currentThread()) return;
    uint32_t block = word(word(t) + 12);
    for (uint32_t f = block ? word(block + 8) : 0; f != 0; f = word(f + 16)) {
      uint32_t method = word(f + 28);
      if (method == 0 || word(f + 12) == 0) continue;
      for (uint32_t i = 0, n = half(method + 60); i < n; i++) {
        uint32_t v = word(word(f + 12) + 4 * i);
        if (live(v)) visit(v, text(word(method + 8)));
      }
    }
  }

  // The record for h with no detail; false when the library would make none.
  bool entry(uint32_t h, Entry* out) const {
    char kind = classObject(h) ? 'C' : object(h) ? 'I' : objectArray(h) ? 'A' : 0;
    uint32_t named = kind == 'C' ? h : classOf(h);
    if (kind == 0 || named == 0) return false;
    *out = Entry{kind, h, name(named), ""};
    return true;
  }

  uint32_t classClass() const { return classClass_; }

 private:
  simvm::Vm& vm_;
  uint32_t first_, end_, classClass_, threadClass_;
};

}  // namespace heapmodel
