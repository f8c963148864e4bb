// Resolving a dump before there is a VM: class names and superclasses, where each field lies in
// an instance's payload, every reference replaced in place by its node, what each reference
// field holds, how String values widen, and the primitive mirrors.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "hprof/builder.h"
#include "hprof/side_task.h"

namespace simvm::hprof {

namespace {

// The wrapper classes whose static TYPE holds a primitive mirror.
struct PrimitiveName {
  const char* wrapper;
  const char* name;
};
constexpr PrimitiveName kPrimitiveNames[] = {
    {"java/lang/Boolean", "boolean"}, {"java/lang/Character", "char"}, {"java/lang/Float", "float"},
    {"java/lang/Double", "double"},   {"java/lang/Byte", "byte"},      {"java/lang/Short", "short"},
    {"java/lang/Integer", "int"},     {"java/lang/Long", "long"},      {"java/lang/Void", "void"},
};

}  // namespace

// A reference in the payload, as its node + 1 (0 for null or unknown).
uint32_t HeapBuilder::resolveAt(const uint8_t* p, uint64_t& missing) const {
  const uint64_t id = beId(p, idSize_);
  missing = 0;
  if (id == 0) return 0;
  const uint32_t n = nodeOf(id);
  if (n == kNone) {
    missing = id;
    return 0;
  }
  return n + 1;
}

void HeapBuilder::nameClasses() {
  classOfId_.reserve(nClasses_);
  for (uint32_t i = 0; i < nClasses_; ++i) classOfId_.insert(m_.classes[i].id, i);
  IdMap loadOf(m_.loadClasses.size());
  for (uint32_t i = 0; i < m_.loadClasses.size(); ++i)
    loadOf.insert(m_.loadClasses[i].classId, i);  // the first LOAD CLASS of a class wins
  std::unordered_map<uint32_t, uint64_t> classOfSerial;
  for (const LoadClass& lc : m_.loadClasses) classOfSerial.emplace(lc.serial, lc.classId);

  info_.resize(nClasses_);
  for (uint32_t i = 0; i < nClasses_; ++i) {
    const uint32_t lc = loadOf.find(m_.classes[i].id);
    if (lc != IdMap::kMissing) info_[i].name = text(m_.loadClasses[lc].nameId);
    if (info_[i].name.empty()) info_[i].name = "<unnamed class " + hexId(m_.classes[i].id) + ">";
    byName_[info_[i].name].push_back(i);
  }
  // The source file of a class, as its stack frames name it.
  for (const StackFrame& f : m_.frames) {
    auto it = classOfSerial.find(f.classSerial);
    if (f.sourceId == 0 || it == classOfSerial.end()) continue;
    const uint32_t c = classIndexOf(it->second);
    if (c != kNone && info_[c].source.empty()) info_[c].source = text(f.sourceId);
  }
  classClass_ = bootClass("java/lang/Class");
  stringClass_ = bootClass("java/lang/String");
  threadClass_ = bootClass("java/lang/Thread");
}

// The class of that name, the boot loader's when there are several.
uint32_t HeapBuilder::bootClass(const std::string& name) const {
  auto it = byName_.find(name);
  if (it == byName_.end()) return kNone;
  for (uint32_t c : it->second)
    if (m_.classes[c].loaderId == 0) return c;
  return it->second.front();
}

void HeapBuilder::linkSupers() {
  for (uint32_t i = 0; i < nClasses_; ++i) {
    const uint64_t superId = m_.classes[i].superId;
    if (superId == 0) continue;
    info_[i].super = classIndexOf(superId);
    if (info_[i].super == kNone)  // treated as a direct subclass of Object
      noteDangling(m_.classes[i].id, "<superclass>", superId);
  }
  // Depths, walking each chain once; a chain longer than the class count loops.
  std::vector<uint8_t> known(nClasses_, 0);
  std::vector<uint32_t> pending;
  for (uint32_t i = 0; i < nClasses_; ++i) {
    pending.clear();
    uint32_t c = i;
    while (c != kNone && !known[c]) {
      if (pending.size() > nClasses_)
        throw HprofError("the superclass chain of " + info_[i].name + " loops",
                         m_.classes[i].offset);
      pending.push_back(c);
      c = info_[c].super;
    }
    uint32_t depth = c == kNone ? 0 : info_[c].depth + 1;
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
      info_[*it].depth = depth++;
      known[*it] = 1;
    }
  }
  // Element classes of object array classes: one '[' and any L...; wrapping dropped, looked
  // up by name, the array class's own loader first.
  for (uint32_t i = 0; i < nClasses_; ++i) {
    const std::string& name = info_[i].name;
    if (name.size() < 2 || name[0] != '[') continue;
    std::string element = name.substr(1);
    if (element[0] == 'L' && element.back() == ';') element = element.substr(1, element.size() - 2);
    auto it = byName_.find(element);
    if (it == byName_.end()) continue;
    info_[i].element = it->second.front();
    for (uint32_t c : it->second)
      if (m_.classes[c].loaderId == m_.classes[i].loaderId) {
        info_[i].element = c;
        break;
      }
  }
}

void HeapBuilder::planPayloads() {
  for (uint32_t i = 0; i < nClasses_; ++i) {
    ClassInfo& ci = info_[i];
    ci.payloadBytes = forEachPayloadField(i, [&](uint32_t, uint32_t f, uint32_t offset) {
      if (isRefType(m_.fields[f].type)) ci.refs.emplace_back(offset, f);
    });
  }
  if (stringClass_ != kNone) {
    const ClassDump& cd = m_.classes[stringClass_];
    uint32_t offset = 0;
    for (uint32_t k = 0; k < cd.fieldCount; ++k) {
      const InstanceField& f = m_.fields[cd.firstField + k];
      const std::string name = text(f.nameId);
      if (name == "value" && isRefType(f.type)) stringValueAt_ = offset;
      if (name == "coder" && f.type == kTypeByte) stringCoderAt_ = offset;
      if (name == "count") stringHasCount_ = true;
      offset += typeSize(f.type, idSize_);
    }
  }
}

void HeapBuilder::classifyObjects() {
  objectClass_.assign(nObjects_, kNone);
  for (uint32_t j = 0; j < nObjects_; ++j) {
    const HeapObject& o = m_.objects[j];
    if (o.kind == ObjectKind::kPrimitiveArray) continue;
    const uint64_t classId = m_.classIdOf(o);
    const uint32_t c = classIndexOf(classId);
    if (o.kind == ObjectKind::kObjectArray) {
      if (c == kNone && classId != 0)  // its elements become Objects
        noteDangling(m_.idOf(o), "<array class>", classId);
      objectClass_[j] = c;
      continue;
    }
    if (c == kNone)
      throw HprofError("an instance of the unknown class " + hexId(classId),
                       recordOffset(o, idSize_));
    if (o.length != info_[c].payloadBytes)
      throw HprofError("an instance of " + info_[c].name + " has " + std::to_string(o.length) +
                           " field bytes where its class needs " +
                           std::to_string(info_[c].payloadBytes),
                       recordOffset(o, idSize_));
    objectClass_[j] = c;
  }
}

void HeapBuilder::resolveReferences() {
  fieldSeen_.resize(m_.fields.size());
  staticSeen_.resize(m_.statics.size());
  stringCoder_.assign(nObjects_, kNotStringValue);
  // Where the String's value lies among its references.
  uint32_t valueRef = kNone;
  if (stringClass_ != kNone)
    for (size_t r = 0; r < info_[stringClass_].refs.size(); ++r)
      if (info_[stringClass_].refs[r].first == stringValueAt_) valueRef = static_cast<uint32_t>(r);
  // The objects in two halves of the payload bytes, each on its own thread; what each half
  // saw is then merged in dump order, so the result is the one a single pass would give.
  const uint64_t half = nObjects_ ? (m_.objects.front().data() + m_.objects.back().data()) / 2 : 0;
  uint64_t count = 0, midRefs = 0;
  uint32_t mid = nObjects_;
  for (uint32_t j = 0; j < nObjects_; ++j) {
    const HeapObject& o = m_.objects[j];
    if (mid == nObjects_ && o.data() >= half) {
      mid = j;
      midRefs = count;
    }
    if (o.kind == ObjectKind::kInstance)
      count += info_[objectClass_[j]].refs.size();
    else if (o.kind == ObjectKind::kObjectArray)
      count += o.length;
  }
  if (count > SIZE_MAX / sizeof(uint32_t))
    throw HprofError("the dump holds too many references for this process", m_.streamBytes);
  refNodes_ = PageArray<uint32_t>(static_cast<size_t>(std::max<uint64_t>(count, 1)));
  adviseHugePages(refNodes_.data(), static_cast<size_t>(count) * sizeof(uint32_t));
  ResolvedPart first, second;
  first.coderOf = stringCoder_.data();
  {
    SideTask task(
        [&] { resolveRange(mid, nObjects_, refNodes_.data() + midRefs, valueRef, second); });
    resolveRange(0, mid, refNodes_.data(), valueRef, first);
    task.join();
  }
  for (ResolvedPart* part : {&first, &second}) {
    for (size_t f = 0; f < fieldSeen_.size(); ++f) fieldSeen_[f].merge(part->seen[f]);
    for (const auto& [j, coder] : part->coders)
      if (stringCoder_[j] == kNotStringValue) stringCoder_[j] = coder;
    dangling_ += part->dangling;
    for (DanglingReference& d : part->danglingList)
      if (danglingList_.size() < kDanglingKept) danglingList_.push_back(std::move(d));
  }
  for (uint32_t c = 0; c < nClasses_; ++c) {
    const ClassDump& cd = m_.classes[c];
    for (uint32_t s = cd.firstStatic; s < cd.firstStatic + cd.staticCount; ++s) {
      StaticField& sf = m_.statics[s];
      if (!isRefType(sf.type)) continue;
      uint8_t raw[8];
      for (uint32_t b = 0; b < idSize_; ++b) raw[b] = uint8_t(sf.value >> (8 * (idSize_ - 1 - b)));
      uint64_t missing;
      const uint32_t n = resolveAt(raw, missing);
      sf.value = n;
      if (n) staticSeen_[s].add(valueKey(n - 1));
      if (missing) noteDangling(cd.id, "static " + text(sf.nameId), missing);
    }
  }
}

void HeapBuilder::resolveRange(uint32_t from, uint32_t to, uint32_t* out, uint32_t valueRef,
                               ResolvedPart& part) const {
  part.seen.resize(m_.fields.size());
  const auto dangle = [&](uint64_t referrer, std::string where, uint64_t missing) {
    ++part.dangling;
    if (part.danglingList.size() < kDanglingKept)
      part.danglingList.push_back({referrer, std::move(where), missing});
  };
  const uint8_t* image = m_.image;
  for (uint32_t j = from; j < to; ++j) {
    const HeapObject& o = m_.objects[j];
    const uint8_t* p = image + o.data();
    if (o.kind == ObjectKind::kInstance) {
      uint32_t* first = out;
      for (const auto& [offset, field] : info_[objectClass_[j]].refs) {
        uint64_t missing;
        const uint32_t n = *out++ = resolveAt(p + offset, missing);
        if (n) part.seen[field].add(valueKey(n - 1));
        if (missing) dangle(m_.idOf(o), text(m_.fields[field].nameId), missing);
      }
      if (objectClass_[j] == stringClass_ && valueRef != kNone)
        noteStringValue(first[valueRef], p, part);
    } else if (o.kind == ObjectKind::kObjectArray) {
      for (uint32_t i = 0; i < o.length; ++i) {
        uint64_t missing;
        *out++ = resolveAt(p + uint64_t(i) * idSize_, missing);
        if (missing) dangle(m_.idOf(o), "[" + std::to_string(i) + "]", missing);
      }
    }
  }
}

void HeapBuilder::noteDangling(uint64_t referrer, std::string where, uint64_t missing) {
  ++dangling_;
  if (danglingList_.size() < kDanglingKept)
    danglingList_.push_back({referrer, std::move(where), missing});
}

// A String's byte[] value will be widened to the VM's char[] by the String's coder.
void HeapBuilder::noteStringValue(uint32_t value, const uint8_t* p, ResolvedPart& part) const {
  if (stringValueAt_ == kNone || stringCoderAt_ == kNone) return;  // a pre-JDK 9 String
  if (value == 0 || value - 1 < nClasses_) return;
  const uint32_t j = value - 1 - nClasses_;
  const HeapObject& v = m_.objects[j];
  if (v.kind != ObjectKind::kPrimitiveArray || v.elementType != kTypeByte) return;
  const uint8_t coder = p[stringCoderAt_] == 1 ? kUtf16 : kLatin1;
  if (!part.coderOf)
    part.coders.emplace_back(j, coder);
  else if (part.coderOf[j] == kNotStringValue)
    part.coderOf[j] = coder;
}

void HeapBuilder::findMirrors() {
  planMirrorFields();
  for (uint32_t j = 0; j < nObjects_; ++j)
    if (isMirror(j)) mirrorName_[j] = "<unnamed class " + hexId(m_.idOf(m_.objects[j])) + ">";
  for (const PrimitiveName& p : kPrimitiveNames) {
    const uint32_t c = bootClass(p.wrapper);
    if (c == kNone) continue;
    const ClassDump& cd = m_.classes[c];
    for (uint32_t s = cd.firstStatic; s < cd.firstStatic + cd.staticCount; ++s) {
      const StaticField& sf = m_.statics[s];
      if (!isRefType(sf.type) || sf.value == 0 || text(sf.nameId) != "TYPE") continue;
      const uint32_t n = static_cast<uint32_t>(sf.value - 1);
      if (n >= nClasses_ && isMirror(n - nClasses_)) mirrorName_[n - nClasses_] = p.name;
    }
  }
}

void HeapBuilder::planMirrorFields() {
  if (classClass_ == kNone) return;
  std::unordered_set<std::string> taken;
  uint32_t dumpOffset = 0;
  for (uint32_t c = classClass_; c != kNone; c = info_[c].super) {
    const ClassDump& cd = m_.classes[c];
    for (uint32_t f = cd.firstField; f < cd.firstField + cd.fieldCount; ++f) {
      mirrorFields_.push_back({f, dumpOffset});
      mirrorFieldNames_.push_back(uniqueName(m_.fields[f].nameId, taken));
      dumpOffset += typeSize(m_.fields[f].type, idSize_);
    }
  }
}

}  // namespace simvm::hprof
