// The loader's second half: a heap dump read into a Model, laid out in a new stand-in VM. One
// builder object per load; its steps share the tables below (per class, per dump field, per
// node), so they are one class whose parts live in several files:
//
//   resolve.cpp  names, superclasses, payload plans, references resolved in place,
//                      what each reference field holds, String values, primitive mirrors
//   classes.cpp  the VM's classes: well-known ones reused, field signatures, statics
//   objects.cpp  one handle per instance and array, then their bodies
//   threads.cpp  thread blocks and frames
//   roots.cpp    the dump's other GC roots, and what each class refers to, as statics
//   layout.cpp   the order of the steps, the VM's size, the id <-> handle maps
//
// Nodes number everything with an id: the classes first, then the objects in dump order.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hprof/hprof.h"
#include "hprof/page_array.h"
#include "hprof/reader.h"
#include "hprof/records.h"

namespace simvm::hprof {

class Prefaulter;

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kDropped = 0xFFFFFFFFu;  // vm offset of a dump field with no place in the VM
// The thread object's body word the VM keeps its ThreadBlock in.
constexpr uint32_t kThreadBlockWord = 12;

// The dump's basic type codes for primitives are the VM's type codes: simvm::primitiveLetter
// serves both.
inline bool isRefType(uint8_t type) { return type == kTypeRef || type == kTypeArrayRef; }
inline bool isWide(uint8_t type) { return type == kTypeLong || type == kTypeDouble; }
// A boolean, byte, char, short, int or float value of the dump (big-endian) as the VM's 32-bit
// word holds it: sign-extended for byte and short, a float's bits as they are.
inline uint32_t narrowValueWord(uint8_t type, const uint8_t* v) {
  switch (type) {
    case kTypeBoolean:
      return v[0];
    case kTypeByte:
      return static_cast<uint32_t>(int32_t(int8_t(v[0])));
    case kTypeChar:
      return be16(v);
    case kTypeShort:
      return static_cast<uint32_t>(int32_t(int16_t(be16(v))));
    default:  // int, float
      return be32(v);
  }
}

// What one reference field (or static) has been seen to hold. A key names the kind of value:
// kind in the high word, a class index or element type in the low word.
enum KeyKind : uint64_t {
  kKeyClassObject = 1,
  kKeyInstance = 2,
  kKeyObjectArray = 3,
  kKeyPrimitiveArray = 4,
};
constexpr uint64_t key(KeyKind kind, uint32_t low) { return uint64_t(kind) << 32 | low; }

struct SeenValues {
  uint64_t key = 0;  // the one kind seen so far; 0 before any value
  bool mixed = false, objects = false, arrays = false;
  void add(uint64_t k) {
    const uint64_t kind = k >> 32;
    (kind == kKeyObjectArray || kind == kKeyPrimitiveArray ? arrays : objects) = true;
    if (key == 0)
      key = k;
    else if (key != k)
      mixed = true;
  }
  // As if the values seen by `later` had been added after these.
  void merge(const SeenValues& later) {
    if (later.key == 0) return;
    if (key == 0) {
      *this = later;
      return;
    }
    mixed = mixed || later.mixed || key != later.key;
    objects = objects || later.objects;
    arrays = arrays || later.arrays;
  }
};

struct PlanItem {
  uint32_t dumpOffset;
  uint32_t vmOffset;  // kDropped: not written
  uint8_t type;
};

struct ClassInfo {
  std::string name;
  std::string source;
  uint32_t super = kNone;    // dump class index
  uint32_t element = kNone;  // object array classes: the element class's index
  uint32_t handle = 0;
  uint32_t depth = 0;         // superclasses above it
  bool reused = false;        // one of the VM's well-known classes
  uint32_t payloadBytes = 0;  // an INSTANCE DUMP's field bytes: own and inherited fields
  std::vector<std::pair<uint32_t, uint32_t>> refs;  // (dump offset, field index) per reference
  std::vector<PlanItem> plan;                       // every field of the chain, in dump order
};

// Each node's handle. The classes' are kept one by one; the objects' are handed out by the VM in
// ascending slots, consecutive but where a primitive mirror's class comes between, so they are
// kept as runs: the first object of each and its handle.
class NodeHandles {
 public:
  void assignClasses(std::vector<uint32_t> handles) { classes_ = std::move(handles); }
  // The handles of the next n objects, in order.
  void append(const uint32_t* handles, size_t n) {
    for (size_t i = 0; i < n; ++i, ++objects_) {
      if (!starts_.empty() && handles[i] == last() + kSlot) continue;
      starts_.push_back(objects_);
      firsts_.push_back(handles[i]);
    }
  }
  size_t size() const { return classes_.size() + objects_; }
  uint32_t operator[](uint32_t node) const {
    if (node < classes_.size()) return classes_[node];
    const uint32_t j = node - static_cast<uint32_t>(classes_.size());
    // Mirrors come early in a dump: the last run is nearly always the one.
    size_t r = starts_.size() - 1;
    if (j < starts_[r])
      r = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), j) -
                              starts_.begin()) -
          1;
    return firsts_[r] + kSlot * (j - starts_[r]);
  }

 private:
  static constexpr uint32_t kSlot = 8;
  uint32_t last() const { return firsts_.back() + kSlot * (objects_ - 1 - starts_.back()); }
  std::vector<uint32_t> classes_;
  std::vector<uint32_t> starts_, firsts_;  // per run: its first object and that one's handle
  uint32_t objects_ = 0;
};

class HeapBuilder {
 public:
  HeapBuilder(Model& m, const HprofOptions& options)
      : m_(m),
        options_(options),
        idSize_(m.idSize),
        nClasses_(static_cast<uint32_t>(m.classes.size())),
        nObjects_(static_cast<uint32_t>(m.objects.size())) {}

  std::unique_ptr<LoadedHeap> run();

 private:
  // --- ids and nodes ------------------------------------------------------------------------
  uint32_t nodeOf(uint64_t id) const { return m_.nodeOf(id); }  // kNone when missing
  uint32_t classIndexOf(uint64_t id) const {  // a small table of its own, looked up per object
    const uint32_t c = classOfId_.find(id);
    return c == IdMap::kMissing ? kNone : c;
  }
  std::string text(uint64_t id) const {
    std::string_view t;
    return m_.text(id, t) ? std::string(t) : std::string();
  }
  // A resolved reference (node + 1, 0 for null or unknown) as a handle.
  uint32_t handleOf(uint32_t resolved) const { return resolved ? handles_[resolved - 1] : 0; }
  uint64_t valueKey(uint32_t node) const {
    if (node < nClasses_) return key(kKeyClassObject, 0);
    const uint32_t j = node - nClasses_;
    switch (m_.objects[j].kind) {
      case ObjectKind::kInstance:
        return key(kKeyInstance, objectClass_[j]);
      case ObjectKind::kObjectArray:
        return key(kKeyObjectArray, objectClass_[j]);
      default:
        return key(kKeyPrimitiveArray, m_.objects[j].elementType);
    }
  }
  bool isMirror(uint32_t j) const {
    return objectClass_[j] == classClass_ && classClass_ != kNone &&
           m_.objects[j].kind == ObjectKind::kInstance;
  }
  // A body, read without the VM's lock (the filling threads use it): a slot's first word is
  // its body's address, and nothing else touches the VM while the heap is built.
  uint8_t* bodyAt(uint32_t h) const {
    uint32_t body;
    std::memcpy(&body, vm_->pointer(h), 4);
    return static_cast<uint8_t*>(vm_->pointer(body));
  }

  // --- resolving the dump, before there is a VM (resolve.cpp) -------------------------
  // The reference at p as its node + 1 (0 for null or unknown).
  // missing: the id when the dump does not contain it, else 0.
  uint32_t resolveAt(const uint8_t* p, uint64_t& missing) const;
  // Counts a reference to an id the dump does not contain, and keeps where it was.
  void noteDangling(uint64_t referrer, std::string where, uint64_t missing);
  static constexpr size_t kDanglingKept = 1u << 20;  // a bound on the list's memory
  void nameClasses();
  // The class of that name, the boot loader's when there are several.
  uint32_t bootClass(const std::string& name) const;
  void linkSupers();
  // The one walk of an instance's payload layout: calls visit(c, f, offset) for each field f of
  // class c at its payload offset, the own class's fields first, then the superclass's, each
  // list in dump order. Returns the payload's size.
  template <typename Visit>
  uint32_t forEachPayloadField(uint32_t i, Visit&& visit) const {
    uint32_t offset = 0;
    for (uint32_t c = i; c != kNone; c = info_[c].super) {
      const ClassDump& cd = m_.classes[c];
      for (uint32_t f = cd.firstField; f < cd.firstField + cd.fieldCount; ++f) {
        visit(c, f, offset);
        offset += typeSize(m_.fields[f].type, idSize_);
      }
    }
    return offset;
  }
  // Where each reference field of an instance's payload lies, and its size.
  void planPayloads();
  void classifyObjects();
  void resolveReferences();
  // What resolving one part of the objects found, merged in dump order afterwards.
  struct ResolvedPart {
    std::vector<SeenValues> seen;                      // per dump field
    std::vector<std::pair<uint32_t, uint8_t>> coders;  // String values met: object, coder
    uint8_t* coderOf = nullptr;  // the first part's go straight to stringCoder_ instead
    uint64_t dangling = 0;
    std::vector<DanglingReference> danglingList;
  };
  // Objects [from, to), their references resolved into out (valueRef: the String's value among
  // its references).
  void resolveRange(uint32_t from, uint32_t to, uint32_t* out, uint32_t valueRef,
                    ResolvedPart& part) const;
  // A String's byte[] value (resolved) will be widened to the VM's char[] by the String's
  // coder, read from its payload p: noted in part.
  void noteStringValue(uint32_t value, const uint8_t* p, ResolvedPart& part) const;
  void findMirrors();
  // The fields a primitive mirror's INSTANCE DUMP holds (java/lang/Class's chain), as
  // (field index, dump offset) in dump order; their static names in mirrorFieldNames_.
  void planMirrorFields();
  // Sets each mirror class's statics to its dumped field values, once every handle is made.
  void setMirrorFields();

  // --- classes, fields and statics (classes.cpp) ---------------------------------------
  // A fresh VM has a "main" thread of its own; a loaded heap has only the dump's objects, so
  // it is freed (with its name), leaving it the current thread, which no scan then skips.
  void retireStartupThread();
  // The field's signature from the values seen in it (rules at the top of layout.cpp).
  std::string referenceSignature(const SeenValues& seen) const;
  std::string signatureOf(uint8_t type, const SeenValues& seen) const;
  // The well-known classes the dump describes: by name, the boot loader's class first.
  void chooseReused();
  void defineClasses();
  void defineOne(uint32_t i);
  // Names are unique in a class's table: a missing name gets one, and a repeated one (a
  // redefined class's extra <resolved_references>) a number.
  std::string uniqueName(uint64_t nameId, std::unordered_set<std::string>& taken) const;
  void redefineWellKnown(uint32_t i);
  // VM offsets of every field of an instance's payload.
  void planFields(uint32_t i);
  void setStatics();
  // The side table of what the dump declares (LoadedHeap::declaredFields, droppedValues).
  void keepDeclarations();

  // --- objects and arrays (objects.cpp) ------------------------------------------------
  void makeHandles();
  // An object array's element class handle (Object's where the dump does not say).
  uint32_t elementClassOf(uint32_t j) const {
    const uint32_t c = objectClass_[j];
    const uint32_t e = c == kNone ? kNone : info_[c].element;
    return e == kNone ? objectClassHandle_ : info_[e].handle;
  }
  uint64_t payloadBytes(const HeapObject& o) const;
  // Fills the bodies and returns each node's id (the classes' left to mapHandles), read from the
  // image as the fill goes, before it gives the image back.
  HeapIds::IdList fillObjects();
  // ids: the first object's place in the list of ids.
  void fillRange(uint32_t from, uint32_t to, const uint32_t* refs, uint64_t* ids) const;
  // refs: the instance's resolved references, in plan order.
  void fillInstance(uint8_t* body, const uint8_t* p, const uint32_t* refs,
                    const std::vector<PlanItem>& plan) const;
  // offset 0 and count = the length of the char[] the String's value became.
  void setStringBounds(uint8_t* body) const;
  static void fillPrimitiveArray(uint8_t* body, const uint8_t* p, const HeapObject& o,
                                 uint8_t coder);

  // --- threads and their frames (threads.cpp) -----------------------------------------
  bool isThreadInstance(uint32_t node) const;
  std::string methodName(uint64_t frameId) const;
  void makeThreads();

  // --- other roots and class references (roots.cpp) ----------------------------------------
  // The loader, signers and protection domain each class refers to, as nodes.
  void resolveClassReferences();
  // The statics a class gains for them, appended to its declaration (names kept unique).
  void declareClassReferences(uint32_t i, std::vector<FieldDecl>& fields) const;
  void setClassReferences();
  // A holder class per root kind (more when one would pass the field limit), one static per
  // distinct rooted object; sticky class roots that name classes are listed instead.
  void makeRootHolders();
  // The nodes of the roots' objects (kNone for an id the dump does not contain), found while the
  // index of ids is there.
  void resolveRoots();

  // --- the VM and the maps (layout.cpp) ------------------------------------------------
  // Slots and arena from the counts, with room for the strings and arrays queries make.
  VmConfig sizeVm() const;
  // The table of ids and handles both maps read, mirrors among the classes, and the tally of
  // unlisted arrays; made once the objects are filled, from their ids (fillObjects).
  void mapHandles(HeapIds::IdList ids);
  // The arrays the queries do not list, counted for the console's explanations.
  void tallyUnlistedArrays();

  static uint64_t round8(uint64_t n) { return (std::max<uint64_t>(n, 8) + 7) & ~uint64_t(7); }
  static constexpr uint8_t kNotStringValue = 0xFF, kLatin1 = 0, kUtf16 = 1;

  Model& m_;
  const HprofOptions& options_;
  const uint32_t idSize_;
  const uint32_t nClasses_, nObjects_;
  IdMap classOfId_;  // class id -> class index
  std::vector<ClassInfo> info_;
  std::unordered_map<std::string, std::vector<uint32_t>> byName_;
  uint32_t classClass_ = kNone, stringClass_ = kNone, threadClass_ = kNone;
  uint32_t objectClassHandle_ = 0;                          // the VM's java/lang/Object
  uint32_t stringValueAt_ = kNone, stringCoderAt_ = kNone;  // in a String's payload
  bool stringHasCount_ = false;
  struct {
    uint32_t valueAt = kNone, offsetAt = 0, countAt = 0;  // kNone: bounds are not set
  } stringBounds_;
  std::vector<uint32_t> objectClass_;  // instance: its class; object array: its array class
  std::vector<SeenValues> fieldSeen_, staticSeen_;
  std::vector<uint8_t> stringCoder_;  // per object: how a String's byte[] value widens
  std::unordered_map<uint32_t, std::string> mirrorName_;     // object index -> its class name
  std::vector<std::pair<uint32_t, uint32_t>> mirrorFields_;  // see planMirrorFields
  std::vector<std::string> mirrorFieldNames_;
  std::vector<std::string> fieldName_, staticName_;  // the VM's name; empty: dropped
  std::vector<uint32_t> ownerOf_, vmOffset_;         // per dump field: its VM class and offset
  NodeHandles handles_;                              // per node
  // Every reference of the objects' payloads, resolved (node + 1, 0 for null or unknown): per
  // instance its class's refs, per object array its elements, in object order.
  PageArray<uint32_t> refNodes_;
  static constexpr size_t kClassRefs = 3;                    // loader, signers, protection domain
  std::vector<std::array<uint32_t, kClassRefs>> classRefs_;  // per class: nodes, or kNone
  std::vector<uint32_t> threadRootNodes_, otherRootNodes_, frameRootNodes_;  // by root
  std::vector<uint32_t> unplacedFrameRoots_;  // Java frame roots no frame took, as nodes
  uint64_t dangling_ = 0;
  std::vector<DanglingReference> danglingList_;
  std::unique_ptr<LoadedHeap> heap_;
  Vm* vm_ = nullptr;
  Prefaulter* prefault_ = nullptr;  // prepares the VM's table and arena while it fills
  // Lets the prefaulter run up to the VM's memory in use now, and a huge page beyond.
  void prefaultUsed();
};

}  // namespace simvm::hprof
