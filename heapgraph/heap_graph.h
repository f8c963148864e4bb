// The stand-in VM's heap as a graph: node 0 is a virtual root, node s + 1 the handle of slot s
// (the handle tableFirst() + 8 * s). The virtual root links to every class object and to every
// thread other than the calling one; then, as the path search follows references:
//
//   class object: its static reference fields
//   plain object: its instance reference fields, and, for a thread other than the caller, the
//                 handles its frames' local variables hold
//   object array: its elements
//
// Only values naming a live handle are links. A Reference object's referent is not one: the
// Reference itself is held by whoever holds it, but what it refers to is not kept alive by it.
#pragma once
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "heapgraph/dominators.h"
#include "simvm/vm.h"

namespace heapgraph {

// What the graph reads from each class, once.
struct ClassLayout {
  uint32_t cls = 0;
  uint32_t instanceSize = 0;
  bool isReference = false;  // java/lang/ref/Reference is among its superclasses
  bool isThread = false;     // java/lang/Thread is its class or among its superclasses
  std::vector<uint32_t> referenceOffsets;  // instance reference fields (inherited ones too)
  uint32_t fieldsEnd = 0;                  // the body bytes the reference fields lie in
};

// Reads objects of the heap through the VM's public interface.
class HeapReader {
 public:
  explicit HeapReader(const simvm::Vm& vm);

  const simvm::Vm& vm() const { return vm_; }
  uint32_t first() const { return first_; }
  uint32_t slots() const { return slots_; }
  uint32_t handle(uint32_t slot) const { return first_ + 8 * slot; }
  // The slot of a live handle, or kUnreached for anything else.
  uint32_t slotOf(uint32_t value) const;
  uint32_t body(uint32_t slot) const { return table_[2 * slot]; }
  uint32_t methods(uint32_t slot) const { return table_[2 * slot + 1]; }
  bool isClassObject(uint32_t slot) const { return methods(slot) == classMethods_; }
  // The class of a live plain object (not a class object); 0 for anything else.
  uint32_t classOf(uint32_t slot) const;
  // The bytes of the slot's body as the heap lays it out: a class object's descriptor, an
  // object's fields, an array's elements (and an object array's element class word).
  uint32_t shallow(uint32_t slot) const;

  // Offers each link of the slot to link(slot of target).
  template <typename Link>
  void forEachLink(uint32_t slot, Link&& link);

  // The nodes the virtual root links to: every class object, then every thread but the caller.
  const std::vector<uint32_t>& rootSlots() const { return roots_; }

 private:
  const ClassLayout& layout(uint32_t cls);
  template <typename Link>
  void stackLinks(uint32_t thread, Link&& link);
  // The body's bytes [b, b + bytes) lie in the part of the region the VM has handed out.
  bool inArena(uint32_t b, uint64_t bytes) const { return b >= first_ && b + bytes <= usedEnd_; }
  uint32_t word(uint32_t address) const {
    uint32_t v;
    std::memcpy(&v, vm_.pointer(address), 4);
    return v;
  }

  const simvm::Vm& vm_;
  uint32_t first_ = 0, slots_ = 0;
  uint64_t usedEnd_ = 0;  // one past the last byte the VM has handed out
  const uint32_t* table_ = nullptr;
  std::vector<uint64_t> live_;  // a bit per slot: its body is not 0
  uint32_t classMethods_ = 0;   // the methods word of every class object
  uint32_t referentOffset_ = UINT32_MAX;
  std::vector<uint32_t> roots_;
  std::unordered_map<uint32_t, bool> threads_;  // the threads whose stacks are scanned
  std::unordered_map<uint32_t, std::vector<uint32_t>> statics_;  // class -> reference values
  std::unordered_map<uint32_t, ClassLayout> layouts_;
  const ClassLayout* last_ = nullptr;  // the layout asked for last
};

// The graph of the heap (see above), read in two passes over the handle table.
Graph readHeapGraph(HeapReader& reader, const Progress& progress = {});
// Offers every edge of that graph again, reading the heap once more.
void replayHeapEdges(HeapReader& reader, const EdgeVisitor& visit);

// --- the links, inline: the passes call them for every slot --------------------------------

template <typename Link>
void HeapReader::forEachLink(uint32_t slot, Link&& link) {
  const uint32_t b = body(slot);
  if (b == 0) return;
  const uint32_t m = methods(slot);
  const uint32_t type = uint32_t(simvm::typeCodeOfWord(m));
  if (type == simvm::kObjectArray) {
    const uint32_t length = simvm::lengthOfWord(m);
    if (!inArena(b, 4ull * length)) return;
    for (uint32_t i = 0; i < length; i++) {
      const uint32_t t = slotOf(word(b + 4 * i));
      if (t != kUnreached) link(t);
    }
    return;
  }
  if (type != simvm::kObject) return;
  if (m == classMethods_) {
    const auto it = statics_.find(handle(slot));
    if (it == statics_.end()) return;
    for (uint32_t v : it->second) {
      const uint32_t t = slotOf(v);
      if (t != kUnreached) link(t);
    }
    return;
  }
  if (!inArena(m, 4)) return;
  const uint32_t cls = word(m);
  if (cls == 0) return;
  const ClassLayout& l = layout(cls);
  if (!inArena(b, l.fieldsEnd)) return;
  for (uint32_t offset : l.referenceOffsets) {
    if (l.isReference && offset == referentOffset_) continue;
    const uint32_t t = slotOf(word(b + offset));
    if (t != kUnreached) link(t);
  }
  if (l.isThread && threads_.count(handle(slot))) stackLinks(handle(slot), link);
}

// The handles the locals of the thread's frames hold, innermost frame first: the layout the
// VM writes (simvm/threads.cpp), read with words of its own. A frame list that a damaged heap
// makes endless stops at the bound the library's stack scan has.
template <typename Link>
void HeapReader::stackLinks(uint32_t thread, Link&& link) {
  constexpr uint32_t kThreadBlockWord = 12, kInnermost = 8, kLocals = 12, kOuter = 16,
                     kMethodBlock = 28, kLocalCount = 60;
  constexpr int kMaxFrames = 1 << 16;
  const simvm::Vm& vm = vm_;
  try {
    const uint32_t block = vm.read32(vm.read32(thread) + kThreadBlockWord);
    if (block == 0) return;
    uint32_t frame = vm.read32(block + kInnermost);
    for (int n = 0; frame != 0 && n < kMaxFrames; n++) {
      const uint32_t method = vm.read32(frame + kMethodBlock);
      const uint32_t locals = vm.read32(frame + kLocals);
      if (method != 0 && locals != 0) {
        const uint32_t count = vm.read16(method + kLocalCount);
        for (uint32_t i = 0; i < count; i++) {
          const uint32_t t = slotOf(vm.read32(locals + 4 * i));
          if (t != kUnreached) link(t);
        }
      }
      frame = vm.read32(frame + kOuter);
    }
  } catch (const simvm::VmError&) {
    // A word led outside the VM's memory: the rest of this stack is not read.
  }
}

inline uint32_t HeapReader::slotOf(uint32_t value) const {
  const uint32_t offset = value - first_;
  if ((offset & 7) != 0 || offset / 8 >= slots_) return kUnreached;
  const uint32_t slot = offset / 8;
  return (live_[slot >> 6] >> (slot & 63)) & 1 ? slot : kUnreached;
}

}  // namespace heapgraph
