// The VM's classes for a dump: the well-known ones reused and given the dump's fields, the
// others defined with their fields in declaration order and inferred signatures; then the
// statics' values.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "hprof/builder.h"

namespace simvm::hprof {

// A fresh VM has a "main" thread of its own; a loaded heap has only the dump's objects, so
// it is freed (with its name), leaving it the current thread, which no scan then skips.
void HeapBuilder::retireStartupThread() {
  const uint32_t main = vm_->currentThread();
  if (main == 0) return;
  const uint32_t name = vm_->getField(main, "name");
  if (name != 0) {
    const uint32_t chars = vm_->getField(name, "value");
    if (chars != 0) vm_->freeSlot(chars);
    vm_->freeSlot(name);
  }
  vm_->freeSlot(main);
}

// The field's signature from the values seen in it (rules at the top of layout.cpp).
std::string HeapBuilder::referenceSignature(const SeenValues& seen) const {
  const uint64_t kind = seen.key >> 32;
  const uint32_t low = static_cast<uint32_t>(seen.key);
  if (seen.arrays && !seen.objects) {
    if (!seen.mixed && kind == kKeyPrimitiveArray)
      return std::string("[") + primitiveLetter(uint8_t(low));
    if (!seen.mixed && low != kNone && info_[low].name[0] == '[') return info_[low].name;
    return "[Ljava/lang/Object;";
  }
  if (seen.objects && !seen.arrays && !seen.mixed) {
    if (kind == kKeyClassObject) return "Ljava/lang/Class;";
    return "L" + info_[low].name + ";";
  }
  return "Ljava/lang/Object;";
}

std::string HeapBuilder::signatureOf(uint8_t type, const SeenValues& seen) const {
  return isRefType(type) ? referenceSignature(seen) : std::string(1, primitiveLetter(type));
}

// The well-known classes the dump describes: by name, the boot loader's class first.
void HeapBuilder::chooseReused() {
  for (uint32_t i = 0; i < nClasses_; ++i) {
    if (!vm_->findClass(info_[i].name)) continue;
    if (bootClass(info_[i].name) == i) info_[i].reused = true;
  }
}

void HeapBuilder::defineClasses() {
  chooseReused();
  fieldName_.assign(m_.fields.size(), std::string());
  ownerOf_.assign(m_.fields.size(), 0);
  staticName_.assign(m_.statics.size(), std::string());
  std::vector<uint32_t> order(nClasses_);
  for (uint32_t i = 0; i < nClasses_; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return info_[a].depth < info_[b].depth; });
  for (uint32_t i : order) {
    try {
      if (info_[i].reused)
        redefineWellKnown(i);
      else
        defineOne(i);
    } catch (const HprofError&) {
      throw;
    } catch (const VmError& e) {
      throw HprofError("class " + info_[i].name + ": " + e.what(), m_.classes[i].offset);
    }
  }
  // Each class's own fields: the class is searched first, and its table has the name.
  vmOffset_.assign(m_.fields.size(), kDropped);
  for (uint32_t f = 0; f < m_.fields.size(); ++f)
    if (!fieldName_[f].empty()) vmOffset_[f] = vm_->fieldOffset(ownerOf_[f], fieldName_[f]);
  for (uint32_t i = 0; i < nClasses_; ++i) planFields(i);
}

void HeapBuilder::defineOne(uint32_t i) {
  const ClassDump& cd = m_.classes[i];
  ClassDecl decl;
  decl.name = info_[i].name;
  decl.super = info_[i].super == kNone ? 0 : info_[info_[i].super].handle;
  decl.secondName = info_[i].source;
  decl.sharedName = vm_->findClass(decl.name) != 0;
  if (decl.name[0] == '[') decl.accessFlags = 0x0411;  // public final abstract, as array classes
  std::unordered_set<std::string> taken;
  // The dump lists statics and fields in reverse declaration order.
  for (uint32_t k = cd.staticCount; k-- > 0;) {
    const uint32_t s = cd.firstStatic + k;
    staticName_[s] = uniqueName(m_.statics[s].nameId, taken);
    decl.fields.push_back(
        {staticName_[s], signatureOf(m_.statics[s].type, staticSeen_[s]), true, 0});
  }
  for (uint32_t k = cd.fieldCount; k-- > 0;) {
    const uint32_t f = cd.firstField + k;
    fieldName_[f] = uniqueName(m_.fields[f].nameId, taken);
    decl.fields.push_back({fieldName_[f], signatureOf(m_.fields[f].type, fieldSeen_[f]), false, 0});
  }
  declareClassReferences(i, decl.fields);
  info_[i].handle = vm_->defineClass(decl);
  for (uint32_t f = cd.firstField; f < cd.firstField + cd.fieldCount; ++f)
    ownerOf_[f] = info_[i].handle;
}

// Names are unique in a class's table: a missing name gets one, and a repeated one (a
// redefined class's extra <resolved_references>) a number.
std::string HeapBuilder::uniqueName(uint64_t nameId, std::unordered_set<std::string>& taken) const {
  std::string name = text(nameId);
  if (name.empty()) name = "<unnamed " + hexId(nameId) + ">";
  std::string unique = name;
  for (int n = 2; taken.count(unique); ++n) unique = name + "#" + std::to_string(n);
  taken.insert(unique);
  return unique;
}

void HeapBuilder::redefineWellKnown(uint32_t i) {
  const ClassDump& cd = m_.classes[i];
  const uint32_t cls = vm_->findClass(info_[i].name);
  info_[i].handle = cls;
  std::vector<FieldDecl> fields = vm_->fieldsOf(cls);
  std::unordered_set<std::string> taken;
  for (const FieldDecl& f : fields) taken.insert(f.name);
  auto merge = [&](uint64_t nameId, uint8_t type, bool isStatic, const SeenValues& seen) {
    const std::string name = text(nameId);
    for (const FieldDecl& own : fields) {
      if (own.name != name || name.empty()) continue;
      const bool ownRef = own.signature[0] == 'L' || own.signature[0] == '[';
      const bool ownWide = own.signature[0] == 'J' || own.signature[0] == 'D';
      const bool fits = own.isStatic == isStatic && ownRef == isRefType(type) &&
                        (ownRef || ownWide == isWide(type));
      return fits ? name : std::string();
    }
    const std::string unique = uniqueName(nameId, taken);
    fields.push_back({unique, signatureOf(type, seen), isStatic, 0});
    return unique;
  };
  for (uint32_t k = cd.staticCount; k-- > 0;) {
    const uint32_t s = cd.firstStatic + k;
    staticName_[s] = merge(m_.statics[s].nameId, m_.statics[s].type, true, staticSeen_[s]);
  }
  if (i != classClass_)
    for (uint32_t k = cd.fieldCount; k-- > 0;) {
      const uint32_t f = cd.firstField + k;
      fieldName_[f] = merge(m_.fields[f].nameId, m_.fields[f].type, false, fieldSeen_[f]);
    }
  declareClassReferences(i, fields);
  vm_->redefineFields(cls, fields);
  for (uint32_t f = cd.firstField; f < cd.firstField + cd.fieldCount; ++f) ownerOf_[f] = cls;
}

// VM offsets of every field of an instance's payload.
void HeapBuilder::planFields(uint32_t i) {
  ClassInfo& ci = info_[i];
  forEachPayloadField(i, [&](uint32_t c, uint32_t f, uint32_t dumpOffset) {
    const uint8_t type = m_.fields[f].type;
    const uint32_t vmOffset = vmOffset_[f];
    const bool blockWord = c == threadClass_ && info_[c].reused && vmOffset != kDropped &&
                           vmOffset < kThreadBlockWord + 4 &&
                           vmOffset + (isWide(type) ? 8 : 4) > kThreadBlockWord;
    ci.plan.push_back({dumpOffset, blockWord ? kDropped : vmOffset, type});
  });
}

namespace {

char typeLetter(uint8_t type) {
  switch (type) {
    case kTypeBoolean:
      return 'Z';
    case kTypeChar:
      return 'C';
    case kTypeFloat:
      return 'F';
    case kTypeDouble:
      return 'D';
    case kTypeByte:
      return 'B';
    case kTypeShort:
      return 'S';
    case kTypeInt:
      return 'I';
    case kTypeLong:
      return 'J';
    default:
      return 'L';
  }
}

}  // namespace

void HeapBuilder::keepDeclarations() {
  std::vector<uint8_t> dropsSome(nClasses_, 0);
  for (uint32_t i = 0; i < nClasses_; ++i) {
    const ClassDump& cd = m_.classes[i];
    std::vector<LoadedHeap::DeclaredField>& fields = heap_->declaredFields[info_[i].handle];
    // The dump lists statics and fields in reverse declaration order.
    for (uint32_t k = cd.staticCount; k-- > 0;) {
      const StaticField& sf = m_.statics[cd.firstStatic + k];
      LoadedHeap::DeclaredField f{text(sf.nameId), typeLetter(sf.type), true, sf.value,
                                  staticName_[cd.firstStatic + k]};
      if (isRefType(sf.type)) f.value = sf.value ? handles_[sf.value - 1] : 0;
      fields.push_back(std::move(f));
    }
    for (uint32_t k = cd.fieldCount; k-- > 0;) {
      const uint32_t f = cd.firstField + k;
      const bool kept = !fieldName_[f].empty() && vmOffset_[f] != kDropped;
      fields.push_back({text(m_.fields[f].nameId), typeLetter(m_.fields[f].type), false, 0,
                        kept ? fieldName_[f] : std::string()});
    }
    for (const PlanItem& item : info_[i].plan) dropsSome[i] |= item.vmOffset == kDropped;
  }
  // The dump's bytes per class (by class index while counting), and the values the VM has no
  // place for, read again from the dump: few objects have any.
  std::vector<uint64_t> instanceBytes(nClasses_, 0), arrayBytes(nClasses_, 0);
  for (uint32_t j = 0; j < nObjects_; ++j) {
    const HeapObject& o = m_.objects[j];
    if (o.kind == ObjectKind::kInstance && objectClass_[j] != kNone) {
      instanceBytes[objectClass_[j]] += o.length;
    } else if (o.kind == ObjectKind::kObjectArray && objectClass_[j] != kNone &&
               info_[objectClass_[j]].element != kNone) {
      arrayBytes[info_[objectClass_[j]].element] += uint64_t{o.length} * idSize_;
    }
    if (o.kind != ObjectKind::kInstance || isMirror(j) || !dropsSome[objectClass_[j]]) continue;
    size_t at = 0;
    for (uint32_t c = objectClass_[j]; c != kNone; c = info_[c].super) {
      const ClassDump& cd = m_.classes[c];
      for (uint32_t k = 0; k < cd.fieldCount; ++k, ++at) {
        const PlanItem& item = info_[objectClass_[j]].plan[at];
        if (item.vmOffset != kDropped) continue;
        const uint32_t size = typeSize(item.type, idSize_);
        const uint8_t* v = m_.image + o.data() + item.dumpOffset;
        uint64_t bits = 0;
        for (uint32_t b = 0; b < size; ++b) bits = bits << 8 | v[b];
        heap_->droppedValues.push_back({handles_[nClasses_ + j], info_[c].handle,
                                        text(m_.fields[cd.firstField + k].nameId), bits});
      }
    }
  }
  for (uint32_t i = 0; i < nClasses_; ++i) {
    if (instanceBytes[i]) heap_->instanceBytes[info_[i].handle] += instanceBytes[i];
    if (arrayBytes[i]) heap_->objectArrayBytes[info_[i].handle] += arrayBytes[i];
  }
}

void HeapBuilder::setStatics() {
  for (uint32_t i = 0; i < nClasses_; ++i) {
    const ClassDump& cd = m_.classes[i];
    for (uint32_t s = cd.firstStatic; s < cd.firstStatic + cd.staticCount; ++s) {
      if (staticName_[s].empty()) continue;
      const StaticField& sf = m_.statics[s];
      uint32_t word = 0;
      switch (sf.type) {
        case kTypeRef:
        case kTypeArrayRef:
          word = sf.value ? handles_[sf.value - 1] : 0;
          break;
        case kTypeByte:
          word = static_cast<uint32_t>(int32_t(int8_t(sf.value)));
          break;
        case kTypeShort:
          word = static_cast<uint32_t>(int32_t(int16_t(sf.value)));
          break;
        case kTypeLong:
        case kTypeDouble:
          word = 0;
          break;
        default:
          word = static_cast<uint32_t>(sf.value);
      }
      vm_->write32(vm_->staticEntry(info_[i].handle, staticName_[s]) + 16, word);  // value word
    }
  }
}

}  // namespace simvm::hprof
