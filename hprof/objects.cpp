// One handle per instance and array of a dump, then their bodies in the VM's 32-bit layout.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "hprof/builder.h"
#include "hprof/prefault.h"
#include "hprof/side_task.h"

namespace simvm::hprof {

// The objects are made in runs of requests to the VM, in dump order; a primitive mirror
// becomes a class of its own between two runs.
void HeapBuilder::makeHandles() {
  objectClassHandle_ = vm_->objectClass();
  std::vector<uint32_t> classHandles(nClasses_);
  for (uint32_t i = 0; i < nClasses_; ++i) classHandles[i] = info_[i].handle;
  handles_.assignClasses(std::move(classHandles));
  constexpr uint32_t kRun = 4096;
  std::vector<Vm::NewRequest> run;
  run.reserve(kRun);
  std::vector<uint32_t> made(kRun);
  uint32_t first = 0;  // the object of run[0]
  const auto make = [&] {
    std::fill(made.begin(), made.end(), 0);
    try {
      vm_->newMany(run.data(), run.size(), made.data());
    } catch (const VmError& e) {
      uint32_t j = first;
      while (made[j - first] != 0) ++j;  // the request that was refused
      throw HprofError(e.what(), recordOffset(m_.objects[j], idSize_));
    }
    handles_.append(made.data(), run.size());
    first += static_cast<uint32_t>(run.size());
    run.clear();
    prefaultUsed();
  };
  for (uint32_t j = 0; j < nObjects_; ++j) {
    const HeapObject& o = m_.objects[j];
    switch (o.kind) {
      case ObjectKind::kInstance:
        if (isMirror(j)) {
          make();
          ClassDecl decl;
          decl.name = mirrorName_[j];
          decl.sharedName = vm_->findClass(decl.name) != 0;
          decl.accessFlags = 0x0411;  // public final abstract, as primitive classes
          // What the mirror holds as an object (module, name, ...) it holds as a class: statics.
          for (size_t k = mirrorFields_.size(); k-- > 0;) {
            const uint32_t f = mirrorFields_[k].first;
            decl.fields.push_back(
                {mirrorFieldNames_[k], signatureOf(m_.fields[f].type, fieldSeen_[f]), true, 0});
          }
          uint32_t mirror;
          try {
            mirror = vm_->defineClass(decl);
          } catch (const VmError& e) {
            throw HprofError(e.what(), recordOffset(o, idSize_));
          }
          handles_.append(&mirror, 1);
          first = j + 1;
        } else {
          run.push_back({kObject, info_[objectClass_[j]].handle, 0});
        }
        break;
      case ObjectKind::kObjectArray:
        // The element class word is written with the elements, by the fill.
        run.push_back({kObjectArray, elementClassOf(j), o.length, true});
        break;
      case ObjectKind::kPrimitiveArray:
        if (stringCoder_[j] == kNotStringValue)
          run.push_back({o.elementType, 0, o.length});
        else
          run.push_back({kChar, 0, stringCoder_[j] == kUtf16 ? o.length / 2 : o.length});
        break;
    }
    if (run.size() == kRun) make();
  }
  make();
}

// The handle table's pages are prepared up to the slots handed out so far and one huge page
// more. The arena's are left to the fill, which first touches them: prepared beforehand, they
// would be held beside the whole image, where the fill gives the image back as it goes.
void HeapBuilder::prefaultUsed() {
  if (!prefault_) return;
  constexpr size_t kAhead = 2u << 20;
  prefault_->allow(size_t(vm_->slotsUsed()) * 8 + kAhead);
}

// The bodies are filled on two threads, each from one half of the dump's payload bytes: no body
// is shared, nothing below calls into the VM, and most of the time goes to the kernel handing out
// the arena's pages, which two threads do in parallel.
HeapIds::IdList HeapBuilder::fillObjects() {
  // The VM's String bounds its chars by offset and count, which a JDK 7u6+ String lacks: they
  // are set as each String is filled.
  if (stringClass_ != kNone && info_[stringClass_].reused && !stringHasCount_) {
    stringBounds_.valueAt = vm_->fieldOffset(vm_->stringClass(), "value");
    stringBounds_.offsetAt = vm_->fieldOffset(vm_->stringClass(), "offset");
    stringBounds_.countAt = vm_->fieldOffset(vm_->stringClass(), "count");
  }
  uint32_t mid = 0;
  const uint32_t* midRefs = refNodes_.data();
  if (nObjects_ > 1) {
    const uint64_t half = (m_.objects.front().data() + m_.objects.back().data()) / 2;
    for (; mid < nObjects_ && m_.objects[mid].data() < half; ++mid) {
      const HeapObject& o = m_.objects[mid];
      if (o.kind == ObjectKind::kInstance)
        midRefs += info_[objectClass_[mid]].refs.size();
      else if (o.kind == ObjectKind::kObjectArray)
        midRefs += o.length;
    }
  }
  HeapIds::IdList ids(handles_.size());  // untouched until written
  uint64_t* const objectIds = ids.data() + nClasses_;
  SideTask second([&] { fillRange(mid, nObjects_, midRefs, objectIds + mid); });
  fillRange(0, mid, refNodes_.data(), objectIds);
  second.join();
  return ids;
}

// The bodies of objects [from, to); refs: the first object's resolved references. The pages of
// the image and of the resolved references behind the objects filled are given back as the fill
// goes, the ones a neighbouring range shares kept.
void HeapBuilder::fillRange(uint32_t from, uint32_t to, const uint32_t* refs, uint64_t* ids) const {
  const uint8_t* image = m_.image;
  if (from >= to) return;
  constexpr uint64_t kReleaseStep = 512u << 10;
  uint64_t released = recordOffset(m_.objects[from], idSize_);
  const uint32_t* refsReleased = refs;
  for (uint32_t j = from; j < to; ++j) {
    const HeapObject& o = m_.objects[j];
    if (o.data() - released > kReleaseStep) {
      const uint64_t at = recordOffset(o, idSize_);
      m_.releaseImage(released, at);
      released = at;
      releasePages(refsReleased, refs);
      refsReleased = refs;
    }
    ids[j - from] = m_.idOf(o);
    const uint8_t* p = image + o.data();
    const uint32_t h = handles_[nClasses_ + j];
    switch (o.kind) {
      case ObjectKind::kInstance: {
        const ClassInfo& ci = info_[objectClass_[j]];
        if (!isMirror(j)) {
          uint8_t* body = bodyAt(h);
          fillInstance(body, p, refs, ci.plan);
          if (objectClass_[j] == stringClass_ && stringBounds_.valueAt != kNone)
            setStringBounds(body);
        }
        refs += ci.refs.size();
        break;
      }
      case ObjectKind::kObjectArray: {
        uint8_t* body = bodyAt(h);
        for (uint32_t i = 0; i < o.length; ++i) {
          const uint32_t e = handleOf(refs[i]);
          std::memcpy(body + 4 * uint64_t(i), &e, 4);
        }
        const uint32_t elementClass = elementClassOf(j);
        std::memcpy(body + 4 * uint64_t(o.length), &elementClass, 4);
        refs += o.length;
        break;
      }
      case ObjectKind::kPrimitiveArray:
        fillPrimitiveArray(bodyAt(h), p, o, stringCoder_[j]);
        break;
    }
  }
  const HeapObject& last = m_.objects[to - 1];
  const uint64_t end =
      to < nObjects_ ? recordOffset(m_.objects[to], idSize_) : last.data() + payloadBytes(last);
  m_.releaseImage(released, end);
}

uint64_t HeapBuilder::payloadBytes(const HeapObject& o) const {
  switch (o.kind) {
    case ObjectKind::kInstance:
      return o.length;
    case ObjectKind::kObjectArray:
      return uint64_t(o.length) * idSize_;
    default:
      return uint64_t(o.length) * typeSize(o.elementType, idSize_);
  }
}

void HeapBuilder::fillInstance(uint8_t* body, const uint8_t* p, const uint32_t* refs,
                               const std::vector<PlanItem>& plan) const {
  for (const PlanItem& item : plan) {
    const uint32_t resolved = isRefType(item.type) ? *refs++ : 0;
    if (item.vmOffset == kDropped) continue;
    const uint8_t* v = p + item.dumpOffset;
    uint8_t* out = body + item.vmOffset;
    if (isRefType(item.type)) {
      const uint32_t word = handleOf(resolved);
      std::memcpy(out, &word, 4);
    } else if (isWide(item.type)) {
      // eight bytes, little-endian like every word of the VM
      const uint64_t wide = be64(v);
      std::memcpy(out, &wide, 8);
    } else {
      const uint32_t word = narrowValueWord(item.type, v);
      std::memcpy(out, &word, 4);
    }
  }
}

// offset 0 and count = the length of the char[] the String's value became (its handle was made
// before any body was filled).
void HeapBuilder::setStringBounds(uint8_t* body) const {
  uint32_t value = 0, methods = 0;
  std::memcpy(&value, body + stringBounds_.valueAt, 4);
  if (value) std::memcpy(&methods, vm_->pointer(value + 4), 4);
  const uint32_t count = typeCodeOfWord(methods) == kObject ? 0 : lengthOfWord(methods);
  const uint32_t zero = 0;
  std::memcpy(body + stringBounds_.offsetAt, &zero, 4);
  std::memcpy(body + stringBounds_.countAt, &count, 4);
}

void HeapBuilder::fillPrimitiveArray(uint8_t* body, const uint8_t* p, const HeapObject& o,
                                     uint8_t coder) {
  const uint64_t n = o.length;
  if (coder == kLatin1) {
    for (uint64_t i = 0; i < n; ++i) {
      const uint16_t c = p[i];
      std::memcpy(body + 2 * i, &c, 2);
    }
    return;
  }
  if (coder == kUtf16) {  // already little-endian pairs
    std::memcpy(body, p, n & ~uint64_t(1));
    return;
  }
  switch (o.elementType) {
    case kTypeBoolean:
    case kTypeByte:
      std::memcpy(body, p, n);
      break;
    case kTypeChar:
    case kTypeShort:
      for (uint64_t i = 0; i < n; ++i) {
        const uint16_t v = be16(p + 2 * i);
        std::memcpy(body + 2 * i, &v, 2);
      }
      break;
    case kTypeInt:
    case kTypeFloat:
      for (uint64_t i = 0; i < n; ++i) {
        const uint32_t v = be32(p + 4 * i);
        std::memcpy(body + 4 * i, &v, 4);
      }
      break;
    default:
      for (uint64_t i = 0; i < n; ++i) {
        const uint64_t v = be64(p + 8 * i);
        std::memcpy(body + 8 * i, &v, 8);
      }
  }
}

void HeapBuilder::setMirrorFields() {
  if (mirrorName_.empty()) return;
  const uint32_t* refs = refNodes_.data();
  for (uint32_t j = 0; j < nObjects_; ++j) {
    const HeapObject& o = m_.objects[j];
    if (o.kind == ObjectKind::kObjectArray) {
      refs += o.length;
      continue;
    }
    if (o.kind != ObjectKind::kInstance) continue;
    const uint32_t* next = refs + info_[objectClass_[j]].refs.size();
    if (isMirror(j) && o.length >= info_[classClass_].payloadBytes) {
      const uint8_t* p = m_.image + o.data();
      for (size_t k = 0; k < mirrorFields_.size(); ++k) {
        const auto [f, at] = mirrorFields_[k];
        const uint8_t* v = p + at;
        // long, double: as for any static, a 32-bit value word cannot hold them (0)
        const uint32_t word = isRefType(m_.fields[f].type) ? handleOf(*refs++)
                              : isWide(m_.fields[f].type)  ? 0
                                                           : narrowValueWord(m_.fields[f].type, v);
        vm_->write32(vm_->staticEntry(handles_[nClasses_ + j], mirrorFieldNames_[k]) + 16, word);
      }
    }
    refs = next;
  }
}

}  // namespace simvm::hprof
