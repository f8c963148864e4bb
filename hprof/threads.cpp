// Threads of a dump: a ThreadBlock per ROOT THREAD OBJECT and a frame per stack frame, whose
// local slots hold the frame's ROOT JAVA FRAME objects.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "hprof/builder.h"

namespace simvm::hprof {

bool HeapBuilder::isThreadInstance(uint32_t node) const {
  if (node == kNone || node < nClasses_ || threadClass_ == kNone) return false;
  const uint32_t j = node - nClasses_;
  if (m_.objects[j].kind != ObjectKind::kInstance || isMirror(j)) return false;
  for (uint32_t c = objectClass_[j]; c != kNone; c = info_[c].super)
    if (c == threadClass_) return info_[c].reused;
  return false;
}

std::string HeapBuilder::methodName(uint64_t frameId) const {
  const uint32_t f = m_.frameIndex.find(frameId);
  std::string name = f == IdMap::kMissing ? std::string() : text(m_.frames[f].methodNameId);
  return name.empty() ? "<unknown>" : name;
}

void HeapBuilder::makeThreads() {
  std::unordered_map<uint32_t, uint32_t> traceOfSerial, traceOfThread;
  for (uint32_t t = 0; t < m_.traces.size(); ++t) {
    traceOfSerial.emplace(m_.traces[t].serial, t);
    traceOfThread.emplace(m_.traces[t].threadSerial, t);
  }
  std::vector<size_t> order(m_.frameRoots.size());
  for (size_t r = 0; r < order.size(); ++r) order[r] = r;
  std::stable_sort(order.begin(), order.end(), [this](size_t i, size_t j) {
    const FrameRoot &a = m_.frameRoots[i], &b = m_.frameRoots[j];
    return a.threadSerial != b.threadSerial ? a.threadSerial < b.threadSerial : a.depth < b.depth;
  });
  std::vector<FrameRoot> roots(order.size());
  std::vector<uint32_t> rootNodes(order.size());  // of roots[r]
  for (size_t r = 0; r < order.size(); ++r) {
    roots[r] = m_.frameRoots[order[r]];
    rootNodes[r] = frameRootNodes_[order[r]];
  }
  std::vector<uint8_t> placed(roots.size(), 0);
  std::unordered_set<uint32_t> attached;
  for (size_t k = 0; k < m_.threadRoots.size(); ++k) {
    const ThreadRoot& tr = m_.threadRoots[k];
    const uint32_t node = threadRootNodes_[k];
    if (node == kNone) {
      noteDangling(0, "root: thread object", tr.objectId);
      continue;
    }
    if (!isThreadInstance(node) || !attached.insert(node).second) continue;
    const uint32_t thread = handles_[node];
    vm_->attachThreadBlock(thread);
    ++heap_->threads;
    // The trace the root names, when it is this thread's; else any trace of the thread.
    uint32_t t = kNone;
    if (auto it = traceOfSerial.find(tr.traceSerial); it != traceOfSerial.end()) t = it->second;
    if (t == kNone || m_.traces[t].threadSerial != tr.threadSerial) {
      auto it = traceOfThread.find(tr.threadSerial);
      t = it == traceOfThread.end() ? kNone : it->second;
    }
    if (t == kNone) continue;
    const StackTrace& trace = m_.traces[t];
    auto first =
        std::lower_bound(roots.begin(), roots.end(), tr.threadSerial,
                         [](const FrameRoot& r, uint32_t s) { return r.threadSerial < s; });
    for (uint32_t depth = trace.frameCount; depth-- > 0;) {  // outermost first
      auto from = std::lower_bound(first, roots.end(), depth, [&](const FrameRoot& r, uint32_t d) {
        return r.threadSerial == tr.threadSerial && r.depth < d;
      });
      auto to = from;
      while (to != roots.end() && to->threadSerial == tr.threadSerial && to->depth == depth &&
             to - from < 0xFFFF)
        ++to;
      const uint32_t frame = vm_->pushFrame(
          thread, methodName(m_.traceFrames[trace.firstFrame + depth]), uint16_t(to - from));
      for (auto r = from; r != to; ++r) {
        placed[r - roots.begin()] = 1;
        const uint32_t n = rootNodes[r - roots.begin()];
        if (n == kNone)
          noteDangling(tr.objectId,
                       "local of " + methodName(m_.traceFrames[trace.firstFrame + depth]),
                       r->objectId);
        vm_->setLocal(frame, uint16_t(r - from), n == kNone ? 0 : handles_[n]);
      }
    }
  }
  // Roots of threads the dump gives no thread object or trace for, or deeper than the trace.
  for (size_t r = 0; r < roots.size(); ++r) {
    if (placed[r]) continue;
    const uint32_t n = rootNodes[r];
    if (n == kNone)
      noteDangling(0, "root: Java frame", roots[r].objectId);
    else
      unplacedFrameRoots_.push_back(n);
  }
}

}  // namespace simvm::hprof
