// Lays a heap dump out in a new stand-in VM. The rules a 64-bit dump needs to become a 32-bit
// heap of this VM:
//
// - Layout: every instance field takes 4 bytes (8 for long and double) from the end of the
//   superclass's fields, whatever its width in the dump; references become handles.
// - Well-known classes (those a fresh VM already has: Object, Class, String, Thread, the
//   Reference family, ...) are reused, not made again. Their table keeps the VM's own fields
//   first, so that the VM's own layout stays valid (Thread's ThreadBlock word at body offset 12),
//   and gains the dump's fields it does not have yet. A dump field with the name of one of the
//   VM's own fields fills it when both hold references, or primitives of one width; otherwise
//   its value is dropped. Nothing from the dump is ever written into Thread's ThreadBlock word
//   (the dump's `eetop` is a native address of the dumping VM). java/lang/Class gains statics
//   only: its instances are class handles, whose body is a descriptor.
// - Field signatures: the dump calls every reference "object" (type 2). A reference field gets
//   '[' only when every non-null value it holds, over all instances (for a static: its value),
//   is an array: the array class's own name when all are of one array class ("[I",
//   "[Ljava/lang/String;"), "[Ljava/lang/Object;" when they differ. Otherwise it is "L<class>;"
//   when all values are of one class, "Ljava/lang/Object;" when they differ, when the field
//   mixes arrays and objects, or when it is always null.
// - Strings: the VM's String holds a char[] with offset and count. A JDK 9+ String's byte[]
//   value is turned into that char[] in place (the same handle): Latin-1 (coder 0) widens each
//   byte; UTF-16 (coder 1) takes byte pairs in the dumping machine's order, little-endian as on
//   every platform the JDK dumps from in practice. offset is 0, count the number of chars.
//   A byte[] shared by several Strings is converted once, by the first String's coder.
// - Primitive mirrors (INSTANCE DUMPs of java/lang/Class: int, boolean, ...) become class
//   handles of their own, named after the wrapper class whose static TYPE holds them
//   (java/lang/Integer.TYPE -> "int"); their dumped instance fields are dropped.
// - Statics: references become handles; 32-bit and narrower primitives are stored as a 32-bit
//   word (byte and short sign-extended); long and double statics, which a 32-bit value word
//   cannot hold, are 0.
// - Threads: each ROOT THREAD OBJECT gets a ThreadBlock and one frame per STACK TRACE frame,
//   the outermost pushed first; a frame's local slots hold the ROOT JAVA FRAME objects of that
//   (thread, depth), in dump order.
// - A reference to an id the dump does not contain becomes null and is counted.
#include "hprof/layout.h"

#include <algorithm>

#include "hprof/builder.h"

namespace simvm::hprof {

std::unique_ptr<LoadedHeap> HeapBuilder::run() {
  nameClasses();
  linkSupers();
  planPayloads();
  classifyObjects();
  resolveReferences();
  findMirrors();

  heap_ = std::make_unique<LoadedHeap>();
  heap_->idSize = idSize_;
  const VmConfig config = sizeVm();
  heap_->vm = std::make_unique<Vm>(config);
  vm_ = heap_->vm.get();
  // The table and the arena fill front to back, like the reader's tables.
  adviseHugePages(vm_->pointer(vm_->tableFirst()), size_t(config.slots) * 8 + config.arenaBytes);
  retireStartupThread();
  defineClasses();
  makeHandles();
  fillObjects();
  setStatics();
  makeThreads();
  fillMaps();
  heap_->danglingReferences = dangling_;
  return std::move(heap_);
}

// Slots and arena from the counts, with room for the strings and arrays queries make.
VmConfig HeapBuilder::sizeVm() const {
  uint64_t bytes = 0;
  std::vector<uint64_t> instanceBytes(nClasses_, 0);
  for (uint32_t i = 0; i < nClasses_; ++i) {
    const ClassDump& cd = m_.classes[i];
    uint64_t size = 0;
    for (uint32_t c = i; c != kNone; c = info_[c].super) {
      const ClassDump& k = m_.classes[c];
      for (uint32_t f = k.firstField; f < k.firstField + k.fieldCount; ++f)
        size += isWide(m_.fields[f].type) ? 8 : 4;
    }
    instanceBytes[i] = round8(size + 32);  // + the fields a well-known class has of its own
    const uint64_t fields = cd.staticCount + cd.fieldCount;
    bytes += 256 + 2 * info_[i].name.size() + info_[i].source.size() + fields * 80;
  }
  for (uint32_t j = 0; j < nObjects_; ++j) {
    const HeapObject& o = m_.objects[j];
    switch (o.kind) {
      case ObjectKind::kInstance:
        bytes += instanceBytes[objectClass_[j]] + 256 * isMirror(j);
        break;
      case ObjectKind::kObjectArray:
        bytes += round8(4 * (uint64_t(o.length) + 1));
        break;
      case ObjectKind::kPrimitiveArray: {
        const uint64_t size =
            stringCoder_[j] == kNotStringValue ? typeSize(o.elementType, idSize_) : 2;
        bytes += round8(size * o.length);
      }
    }
  }
  bytes += m_.threadRoots.size() * 64 + m_.frameRoots.size() * 4 + m_.traceFrames.size() * 160;
  bytes += bytes / 4 + (8u << 20);
  const uint64_t slots = (uint64_t(nClasses_) + nObjects_ + 64) * 5 / 4 + 10000;
  if (bytes > 0xF0000000ull || slots > (1u << 28))
    throw HprofError("the heap is too large for a 32-bit VM (" + std::to_string(bytes) +
                         " bytes, " + std::to_string(slots) + " handles)",
                     m_.streamBytes);
  VmConfig config;
  config.slots = static_cast<uint32_t>(slots);
  config.arenaBytes = static_cast<uint32_t>(bytes);
  config.high = options_.high;
  return config;
}

// The id <-> handle maps; mirrors, which became classes, are among the classes. The index
// of ids is sorted already: its nodes become handles. Handles were handed out in ascending
// order, the classes' (in superclass order, some of them the VM's own) before the objects'.
void HeapBuilder::fillMaps() {
  std::vector<IdIndex::Pair>& byId = m_.ids.pairs();
  for (IdIndex::Pair& p : byId) p.second = handles_[p.second];
  heap_->handleOfId = SortedPairs<uint64_t, uint32_t>(std::move(byId));
  std::vector<std::pair<uint32_t, uint64_t>> byHandle;
  byHandle.reserve(handles_.size());
  for (uint32_t i = 0; i < nClasses_; ++i) byHandle.emplace_back(handles_[i], m_.classes[i].id);
  std::sort(byHandle.begin(), byHandle.end());
  for (uint32_t j = 0; j < nObjects_; ++j)
    byHandle.emplace_back(handles_[nClasses_ + j], m_.objects[j].id);
  heap_->idOfHandle = SortedPairs<uint32_t, uint64_t>(std::move(byHandle));
  heap_->classes = nClasses_ + mirrorName_.size();
  heap_->objects = nObjects_ - mirrorName_.size();
}

std::unique_ptr<LoadedHeap> layOutHeap(Model& model, const HprofOptions& options) {
  Vm* const previous = Vm::current();  // a new VM makes itself current; a failed one must not
  try {
    return HeapBuilder(model, options).run();
  } catch (const HprofError&) {
    if (previous) previous->makeCurrent();
    throw;
  } catch (const VmError& e) {
    if (previous) previous->makeCurrent();
    throw HprofError(std::string("cannot lay the heap out in the VM: ") + e.what(),
                     model.streamBytes);
  }
}

}  // namespace simvm::hprof
