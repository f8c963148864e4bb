#include "heapgraph/heap_graph.h"

#include <algorithm>

namespace heapgraph {

namespace {

// A class object's body is its descriptor.
constexpr uint32_t kDescriptorBytes = 96;
// The least body the VM allocates.
constexpr uint32_t kLeastBody = 8;

uint32_t elementBytes(int32_t type) {
  switch (type) {
    case simvm::kBoolean:
    case simvm::kByte:
      return 1;
    case simvm::kChar:
    case simvm::kShort:
      return 2;
    case simvm::kInt:
    case simvm::kFloat:
    case simvm::kObjectArray:
      return 4;
    case simvm::kLong:
    case simvm::kDouble:
      return 8;
    default:
      return 0;
  }
}

bool chainIncludes(const simvm::Vm& vm, uint32_t cls, uint32_t ancestor) {
  for (int n = 0; cls != 0 && ancestor != 0 && n < 4096; n++, cls = vm.superclassOf(cls))
    if (cls == ancestor) return true;
  return false;
}

bool isReferenceSignature(const std::string& s) {
  return !s.empty() && (s[0] == 'L' || s[0] == '[');
}

}  // namespace

HeapReader::HeapReader(const simvm::Vm& vm) : vm_(vm) {
  first_ = vm.tableFirst();
  slots_ = vm.slotsUsed();
  table_ = static_cast<const uint32_t*>(vm.pointer(first_));
  usedEnd_ = uint64_t(vm.regionBase()) + vm.bytesUsed();
  live_.assign((size_t(slots_) + 63) / 64, 0);
  for (uint32_t s = 0; s < slots_; s++)
    if (body(s) != 0) live_[s >> 6] |= uint64_t{1} << (s & 63);
  classMethods_ = vm.methodsOf(vm.classClass());
  // The Reference class the library's path search recognises: the one found by name.
  const uint32_t reference = vm.findClass("java/lang/ref/Reference");
  if (reference != 0) {
    try {
      referentOffset_ = vm.fieldOffset(reference, "referent");
    } catch (const simvm::VmError&) {
      // A Reference without a referent field: no field is left out.
    }
  }
  for (uint32_t cls : vm.classes()) {
    const uint32_t slot = slotOf(cls);
    if (slot == kUnreached || !isClassObject(slot)) continue;
    roots_.push_back(slot);
    std::vector<uint32_t> values;
    for (const simvm::FieldDecl& f : vm.fieldsOf(cls))
      if (f.isStatic && isReferenceSignature(f.signature) && f.staticValue != 0)
        values.push_back(f.staticValue);
    if (!values.empty()) statics_.emplace(cls, std::move(values));
  }
  const uint32_t caller = vm.currentThread();
  for (uint32_t t : vm.threads()) {
    const uint32_t slot = slotOf(t);
    if (t == caller || slot == kUnreached || threads_.count(t)) continue;
    threads_.emplace(t, true);
    roots_.push_back(slot);
  }
}

const ClassLayout& HeapReader::layout(uint32_t cls) {
  if (last_ != nullptr && last_->cls == cls) return *last_;
  auto it = layouts_.find(cls);
  if (it == layouts_.end()) {
    ClassLayout l;
    l.cls = cls;
    const simvm::Vm& vm = vm_;
    try {
      l.instanceSize = vm.instanceSize(cls);
      l.isReference =
          chainIncludes(vm, vm.superclassOf(cls), vm.findClass("java/lang/ref/Reference"));
      l.isThread = chainIncludes(vm, cls, vm.threadClass());
      for (uint32_t c = cls; c != 0; c = vm.superclassOf(c))
        for (const simvm::FieldDecl& f : vm.fieldsOf(c))
          if (!f.isStatic && isReferenceSignature(f.signature))
            l.referenceOffsets.push_back(vm.fieldOffset(c, f.name));
      for (uint32_t offset : l.referenceOffsets) l.fieldsEnd = std::max(l.fieldsEnd, offset + 4);
    } catch (const simvm::VmError&) {
      // Not a class the VM knows: an object of it has no links.
      l.referenceOffsets.clear();
    }
    it = layouts_.emplace(cls, std::move(l)).first;
  }
  last_ = &it->second;
  return *last_;
}

uint32_t HeapReader::classOf(uint32_t slot) const {
  const uint32_t m = methods(slot);
  if (body(slot) == 0 || simvm::typeCodeOfWord(m) != simvm::kObject || m == classMethods_) return 0;
  return vm_.read32(m);
}

uint32_t HeapReader::shallow(uint32_t slot) const {
  if (body(slot) == 0) return 0;
  const uint32_t m = methods(slot);
  const int32_t type = simvm::typeCodeOfWord(m);
  if (type == simvm::kObject) {
    if (m == classMethods_) return kDescriptorBytes;
    const uint32_t cls = vm_.read32(m);
    const auto it = layouts_.find(cls);
    const uint32_t size = it != layouts_.end() ? it->second.instanceSize : vm_.instanceSize(cls);
    return std::max(kLeastBody, size);
  }
  const uint64_t length = simvm::lengthOfWord(m) + (type == simvm::kObjectArray ? 1 : 0);
  return static_cast<uint32_t>(std::max<uint64_t>(kLeastBody, length * elementBytes(type)));
}

Graph readHeapGraph(HeapReader& reader, const Progress& progress) {
  Graph g;
  const uint32_t slots = reader.slots();
  g.nodes = slots + 1;
  g.start = words(size_t(g.nodes) + 1);
  // First pass: how many links each node has; second: the links, in place.
  uint64_t edges = reader.rootSlots().size();
  g.start[0] = 0;
  for (uint32_t s = 0; s < slots; s++) {
    uint32_t count = 0;
    reader.forEachLink(s, [&count](uint32_t) { count++; });
    g.start[s + 1] = static_cast<uint32_t>(edges);
    edges += count;
    if (edges >= UINT32_MAX) throw simvm::VmError("the heap has more than 2^32 references");
    if (progress && s % (1u << 18) == 0) progress("reading the heap", s, 2 * uint64_t(slots));
  }
  g.start[g.nodes] = static_cast<uint32_t>(edges);
  g.edges = static_cast<uint32_t>(edges);
  g.target = words(g.edges);
  uint32_t at = 0;
  for (uint32_t root : reader.rootSlots()) g.target[at++] = root + 1;
  for (uint32_t s = 0; s < slots; s++) {
    const uint32_t end = g.start[s + 2];
    reader.forEachLink(s, [&](uint32_t t) {
      if (at < end) g.target[at++] = t + 1;  // a heap changed between the passes adds none
    });
    while (at < end) g.target[at++] = s + 1;  // nor leaves a hole: a self-loop changes nothing
    if (progress && s % (1u << 18) == 0)
      progress("reading the heap", uint64_t(slots) + s, 2 * uint64_t(slots));
  }
  return g;
}

void replayHeapEdges(HeapReader& reader, const EdgeVisitor& visit) {
  std::vector<uint32_t> targets;
  for (uint32_t root : reader.rootSlots()) targets.push_back(root + 1);
  visit(0, targets.data(), static_cast<uint32_t>(targets.size()));
  for (uint32_t s = 0; s < reader.slots(); s++) {
    targets.clear();
    reader.forEachLink(s, [&targets](uint32_t t) { targets.push_back(t + 1); });
    if (!targets.empty()) visit(s + 1, targets.data(), static_cast<uint32_t>(targets.size()));
  }
}

}  // namespace heapgraph
