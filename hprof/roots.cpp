// The dump's GC roots other than thread frames, and the references a class dump records, made
// visible to the library, whose only roots are classes (through their statics) and threads
// (through their frames):
//
// - Every root of a kind other than Java frame becomes a static of a holder class of that kind,
//   "<root:JNI-global>" and so on, one static per distinct object. Holder classes have no
//   instances, so no census or instance list changes. They are made after the dump's classes:
//   when a dump class and a holder reach an object at the same depth, the dump class (the lower
//   handle) is the path's root.
// - A sticky class root that names a class is that class, a root already; it is only listed,
//   so that the console can call it a system class.
// - Java frame roots that no frame takes (no thread object, no trace, deeper than the trace)
//   go to the "<root: Java frame>" holder, so that none is lost.
// - A class's loader, signers and protection domain become statics of the class,
//   "<class loader>", "<signers>" and "<protection domain>", when the dump records them.
#include <algorithm>
#include <unordered_set>

#include "hprof/builder.h"

namespace simvm::hprof {
namespace {

constexpr const char* kClassRefNames[] = {kLoaderStatic, kSignersStatic, kProtectionDomainStatic};

// A class's field count is a 16-bit number in the VM: holders of many roots are split.
constexpr size_t kStaticsPerHolder = 0xFFFF;

RootKind kindOfTag(uint8_t tag) {
  switch (tag) {
    case kRootJniGlobal:
      return RootKind::kJniGlobal;
    case kRootJniLocal:
      return RootKind::kJniLocal;
    case kRootNativeStack:
      return RootKind::kNativeStack;
    case kRootStickyClass:
      return RootKind::kSystemClass;
    case kRootThreadBlock:
      return RootKind::kThreadBlock;
    case kRootMonitorUsed:
      return RootKind::kMonitorUsed;
    default:
      return RootKind::kUnknown;
  }
}

}  // namespace

void HeapBuilder::resolveClassReferences() {
  classRefs_.assign(nClasses_, {kNone, kNone, kNone});
  for (uint32_t i = 0; i < nClasses_; ++i) {
    const ClassDump& cd = m_.classes[i];
    const uint64_t ids[kClassRefs] = {cd.loaderId, cd.signersId, cd.protectionDomainId};
    for (size_t r = 0; r < kClassRefs; ++r) {
      if (ids[r] == 0) continue;
      classRefs_[i][r] = nodeOf(ids[r]);
      if (classRefs_[i][r] == kNone) noteDangling(cd.id, kClassRefNames[r], ids[r]);
    }
  }
}

void HeapBuilder::declareClassReferences(uint32_t i, std::vector<FieldDecl>& fields) const {
  for (size_t r = 0; r < kClassRefs; ++r) {
    if (classRefs_[i][r] == kNone) continue;
    const bool taken = std::any_of(fields.begin(), fields.end(),
                                   [&](const FieldDecl& f) { return f.name == kClassRefNames[r]; });
    if (!taken) fields.push_back({kClassRefNames[r], "Ljava/lang/Object;", true, 0});
  }
}

void HeapBuilder::setClassReferences() {
  for (uint32_t i = 0; i < nClasses_; ++i)
    for (size_t r = 0; r < kClassRefs; ++r)
      if (classRefs_[i][r] != kNone)
        vm_->setStatic(info_[i].handle, kClassRefNames[r], handles_[classRefs_[i][r]]);
}

void HeapBuilder::resolveRoots() {
  const auto nodes = [this](const auto& roots, std::vector<uint32_t>& out) {
    out.resize(roots.size());
    for (size_t r = 0; r < roots.size(); ++r) out[r] = nodeOf(roots[r].objectId);
  };
  nodes(m_.threadRoots, threadRootNodes_);
  nodes(m_.otherRoots, otherRootNodes_);
  nodes(m_.frameRoots, frameRootNodes_);
}

void HeapBuilder::makeRootHolders() {
  std::vector<uint32_t> rooted[kRootKinds];
  auto add = [&](RootKind kind, uint64_t id, uint32_t n) {
    if (n == kNone)
      noteDangling(0, std::string("root: ") + rootKindName(kind), id);
    else
      rooted[size_t(kind)].push_back(n);
  };
  for (size_t r = 0; r < m_.otherRoots.size(); ++r)
    add(kindOfTag(m_.otherRoots[r].tag), m_.otherRoots[r].objectId, otherRootNodes_[r]);
  for (size_t r = 0; r < m_.threadRoots.size(); ++r)  // a missing one was counted with the threads
    if (threadRootNodes_[r] != kNone)
      add(RootKind::kThreadObject, m_.threadRoots[r].objectId, threadRootNodes_[r]);
  rooted[size_t(RootKind::kJavaFrame)] = unplacedFrameRoots_;

  // Sticky class roots that are classes (not mirrors made classes) need no holder.
  std::vector<uint32_t>& sticky = rooted[size_t(RootKind::kSystemClass)];
  std::vector<uint32_t> stickyObjects;
  for (uint32_t n : sticky) {
    if (n < nClasses_)
      heap_->systemClasses.push_back(handles_[n]);
    else
      stickyObjects.push_back(n);
  }
  std::sort(heap_->systemClasses.begin(), heap_->systemClasses.end());
  heap_->systemClasses.erase(std::unique(heap_->systemClasses.begin(), heap_->systemClasses.end()),
                             heap_->systemClasses.end());

  std::vector<std::pair<uint32_t, RootKind>> holders;
  for (size_t k = 0; k < kRootKinds; ++k) {
    const RootKind kind = static_cast<RootKind>(k);
    std::vector<uint32_t> nodes = kind == RootKind::kSystemClass ? stickyObjects : rooted[k];
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    heap_->roots[k] = nodes.size();
    if (kind == RootKind::kSystemClass) heap_->roots[k] += heap_->systemClasses.size();
    for (size_t from = 0; from < nodes.size(); from += kStaticsPerHolder) {
      ClassDecl decl;
      // No blank in the name: the library's reports separate their words by blanks.
      std::string kindWord = rootKindName(kind);
      std::replace(kindWord.begin(), kindWord.end(), ' ', '-');
      decl.name = "<root:" + kindWord + ">";
      if (from > 0) decl.name += "#" + std::to_string(from / kStaticsPerHolder + 1);
      const size_t to = std::min(nodes.size(), from + kStaticsPerHolder);
      for (size_t r = from; r < to; ++r)
        decl.fields.push_back(
            {"r" + std::to_string(r - from), "Ljava/lang/Object;", true, handles_[nodes[r]]});
      holders.emplace_back(vm_->defineClass(decl), kind);
    }
  }
  std::sort(holders.begin(), holders.end());
  heap_->rootHolders = SortedPairs<uint32_t, RootKind>(std::move(holders));
}

}  // namespace simvm::hprof
