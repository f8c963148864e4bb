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
//   (java/lang/Integer.TYPE -> "int"); their dumped instance fields (module, name, ...) become
//   that class's statics, set to the values the dump holds.
// - Statics: references become handles; 32-bit and narrower primitives are stored as a 32-bit
//   word (byte and short sign-extended); long and double statics, which a 32-bit value word
//   cannot hold, are 0.
// - Threads: each ROOT THREAD OBJECT gets a ThreadBlock and one frame per STACK TRACE frame,
//   the outermost pushed first; a frame's local slots hold the ROOT JAVA FRAME objects of that
//   (thread, depth), in dump order.
// - Other GC roots and what a class refers to: see roots.cpp.
// - A reference to an id the dump does not contain becomes null, and is counted and listed.
#include "hprof/layout.h"

#include <algorithm>
#include <map>

#include "hprof/builder.h"
#include "hprof/prefault.h"

namespace simvm::hprof {

std::unique_ptr<LoadedHeap> HeapBuilder::run() {
  nameClasses();
  linkSupers();
  planPayloads();
  classifyObjects();
  resolveReferences();
  resolveClassReferences();
  resolveRoots();
  // Every id is resolved: the index of ids is given back before the VM takes its memory.
  m_.ids = IdIndex();
  m_.objectIds = {};
  findMirrors();

  heap_ = std::make_unique<LoadedHeap>();
  heap_->idSize = idSize_;
  heap_->skippedRecords = m_.skipped;
  const VmConfig config = sizeVm();
  try {
    heap_->vm = std::make_unique<Vm>(config);
  } catch (const VmError&) {  // no place for the region after all
    throw tooLargeForVm(config.arenaBytes, config.slots, m_.streamBytes);
  }
  vm_ = heap_->vm.get();
  // The table and the arena fill front to back, like the reader's tables.
  adviseHugePages(vm_->pointer(vm_->tableFirst()), size_t(config.slots) * 8 + config.arenaBytes);
  Prefaulter ahead(vm_->pointer(vm_->tableFirst()), size_t(config.slots) * 8 + config.arenaBytes);
  prefault_ = &ahead;
  retireStartupThread();
  defineClasses();
  makeHandles();
  prefault_ = nullptr;
  setStatics();
  // These read the few values they need from the image, which the fill gives back as it goes.
  setMirrorFields();
  keepDeclarations();
  HeapIds::IdList ids = fillObjects();
  refNodes_.reset();
  mapHandles(std::move(ids));
  setClassReferences();
  makeThreads();
  makeRootHolders();
  heap_->danglingReferences = dangling_;
  heap_->dangling = std::move(danglingList_);
  return std::move(heap_);
}

namespace {

// What the VM needs beyond the dump's own bytes, each an upper estimate of what the builder
// (and later the queries) take from the arena:
// An instance body has room for the fields a well-known class keeps of its own (Thread's
// ThreadBlock word and the like) besides the dump's.
constexpr uint64_t kOwnFieldBytes = 32;
// A class: descriptor (96), MethodTable (32), method block and name strings rounded up.
constexpr uint64_t kClassBytes = 256;
// A field or static: its 20-byte FieldEntry, name and signature strings.
constexpr uint64_t kFieldBytes = 80;
// A primitive mirror becomes a class handle of its own, with a class's structures.
constexpr uint64_t kMirrorBytes = kClassBytes;
// A ThreadBlock with its name, and per stack frame a frame and a method block.
constexpr uint64_t kThreadBytes = 64;
constexpr uint64_t kFrameBytes = 160;
// Room left for what queries allocate: strings, result arrays, output streams.
constexpr uint64_t kQueryArenaBytes = 8u << 20;
// A quarter more arena and handles than counted, for alignment and the queries' objects; a
// fixed number of handles more for small dumps and the VM's own classes.
constexpr uint64_t kSlackNumerator = 5, kSlackDenominator = 4;
constexpr uint64_t kQueryHandles = 10000;
constexpr uint64_t kVmOwnHandles = 64;

}  // namespace

HprofError tooLargeForVm(uint64_t arenaBytes, uint64_t handles, uint64_t offset) {
  const uint64_t mb = 1 << 20;
  return HprofError("the heap does not fit a 32-bit VM in this process: it needs about " +
                        std::to_string((arenaBytes + handles * 8 + mb - 1) / mb) + " MB (" +
                        std::to_string(handles) + " handles), and at most " +
                        std::to_string(Vm::largestRegion() / mb) +
                        " MB can be placed below 4 GB here",
                    offset);
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
    instanceBytes[i] = round8(size + kOwnFieldBytes);
    const uint64_t fields = cd.staticCount + cd.fieldCount + kClassRefs;
    bytes += kClassBytes + 2 * info_[i].name.size() + info_[i].source.size() + fields * kFieldBytes;
  }
  for (uint32_t j = 0; j < nObjects_; ++j) {
    const HeapObject& o = m_.objects[j];
    switch (o.kind) {
      case ObjectKind::kInstance:
        bytes += instanceBytes[objectClass_[j]] +
                 (kMirrorBytes + mirrorFields_.size() * kFieldBytes) * isMirror(j);
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
  bytes += m_.threadRoots.size() * kThreadBytes + m_.frameRoots.size() * 4 +
           m_.traceFrames.size() * kFrameBytes;
  // Holder classes: a static per root.
  bytes += kRootKinds * kClassBytes +
           (m_.otherRoots.size() + m_.threadRoots.size() + m_.frameRoots.size()) * kFieldBytes;
  bytes = bytes * kSlackNumerator / kSlackDenominator + kQueryArenaBytes;
  const uint64_t slots =
      (uint64_t(nClasses_) + nObjects_ + kVmOwnHandles) * kSlackNumerator / kSlackDenominator +
      kQueryHandles;
  const uint64_t region = bytes + slots * 8 + (64u << 10);
  // Regions up to 1 GB are placed without looking first (the lookup takes some dozens of
  // mappings, and tests load thousands of small dumps).
  if (slots > (1u << 28) || region >= (uint64_t(1) << 32) ||
      (region > (1ull << 30) && region > Vm::largestRegion()))
    throw tooLargeForVm(bytes, slots, m_.streamBytes);
  VmConfig config;
  config.slots = static_cast<uint32_t>(slots);
  config.arenaBytes = static_cast<uint32_t>(bytes);
  config.high = options_.high;
  return config;
}

// Mirrors, which became classes, are among the classes. Handles were handed out in ascending
// order, the classes' (in superclass order, some of them the VM's own) before the objects'.
void HeapBuilder::mapHandles(HeapIds::IdList ids) {
  // The classes' part of the ids, sorted by handle.
  std::vector<std::pair<uint32_t, uint64_t>> classes(nClasses_);
  for (uint32_t i = 0; i < nClasses_; ++i) classes[i] = {handles_[i], m_.classes[i].id};
  std::sort(classes.begin(), classes.end());
  for (uint32_t i = 0; i < nClasses_; ++i) ids[i] = classes[i].second;
  auto table = std::make_shared<const HeapIds>(std::move(ids), [&](size_t p) {
    return p < nClasses_ ? classes[p].first : handles_[static_cast<uint32_t>(p)];
  });
  heap_->handleOfId = HandleOfId(table);
  heap_->idOfHandle = IdOfHandle(std::move(table));
  tallyUnlistedArrays();
  heap_->classes = nClasses_ + mirrorName_.size();
  heap_->objects = nObjects_ - mirrorName_.size();
}

namespace {

// "[[I" -> "int[][]", "[Ljava/lang/String;" -> "java.lang.String[]".
std::string javaArrayName(const std::string& descriptor) {
  size_t dims = 0;
  while (dims < descriptor.size() && descriptor[dims] == '[') ++dims;
  std::string element = descriptor.substr(dims);
  static const std::pair<char, const char*> kPrimitive[] = {
      {'Z', "boolean"}, {'C', "char"},  {'F', "float"}, {'D', "double"},
      {'B', "byte"},    {'S', "short"}, {'I', "int"},   {'J', "long"}};
  if (element.size() == 1) {
    for (const auto& [letter, name] : kPrimitive)
      if (element[0] == letter) element = name;
  } else if (element.size() > 2 && element[0] == 'L' && element.back() == ';') {
    element = element.substr(1, element.size() - 2);
  }
  for (char& c : element)
    if (c == '/') c = '.';
  for (size_t i = 0; i < dims; ++i) element += "[]";
  return element;
}

}  // namespace

// Primitive arrays by element type, and object arrays whose elements are arrays, by class:
// counted per type code and class index first, named once each.
void HeapBuilder::tallyUnlistedArrays() {
  std::vector<LoadedHeap::ArrayTally> byType(256), byClass(nClasses_);
  for (uint32_t j = 0; j < nObjects_; ++j) {
    const HeapObject& o = m_.objects[j];
    if (o.kind == ObjectKind::kPrimitiveArray) {
      LoadedHeap::ArrayTally& t = byType[o.elementType];
      ++t.count;
      t.bytes += uint64_t(o.length) * typeSize(o.elementType, idSize_);
    } else if (o.kind == ObjectKind::kObjectArray && objectClass_[j] != kNone) {
      LoadedHeap::ArrayTally& t = byClass[objectClass_[j]];
      ++t.count;
      t.bytes += uint64_t(o.length) * idSize_;
    }
  }
  std::map<std::string, LoadedHeap::ArrayTally> tally;
  const auto add = [&](const std::string& name, const LoadedHeap::ArrayTally& t) {
    LoadedHeap::ArrayTally& sum = tally[name];
    sum.count += t.count;
    sum.bytes += t.bytes;
  };
  for (size_t type = 0; type < byType.size(); ++type)
    if (byType[type].count)
      add(javaArrayName(std::string("[") + primitiveLetter(static_cast<uint8_t>(type))),
          byType[type]);
  for (uint32_t c = 0; c < nClasses_; ++c)
    if (byClass[c].count && info_[c].name.rfind("[[", 0) == 0)
      add(javaArrayName(info_[c].name), byClass[c]);
  heap_->unlistedArrays.assign(tally.begin(), tally.end());
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
