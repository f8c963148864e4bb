#include "cli/path_holder.h"

#include <algorithm>
#include <unordered_set>

#include "cli/dump_notes.h"
#include "cli/format.h"
#include "cli/present.h"
#include "simvm/vm.h"

namespace cli {
namespace {

// The backward look above the object: levels of referrers, referrer queries and path searches
// (each one may walk the heap).
constexpr size_t kHolderLevels = 3;
constexpr size_t kReferrerQueries = 32;
constexpr size_t kPathSearches = 12;

bool isLocal(const std::string& detail) {
  return detail.size() > 2 && detail.compare(detail.size() - 2, 2, "()") == 0;
}

// The shortest chain from a root through a holder of `target` down to it, looking up to
// kHolderLevels referrers above it (a holder may itself be one the search does not take, such
// as an array of arrays). A Reference's referent is no link: it does not keep its object.
std::optional<std::vector<uint32_t>> pathThroughHolder(Session& s, uint32_t target,
                                                       int32_t maxNodes, bool& cutShort) {
  simvm::Vm& vm = s.vm();
  struct Node {
    uint32_t handle;
    size_t below;  // index of the node it holds; SIZE_MAX for the target
  };
  std::vector<Node> nodes{{target, SIZE_MAX}};
  std::unordered_set<uint32_t> seen{target};
  std::optional<std::vector<uint32_t>> best;
  size_t searches = 0, queries = 0;
  auto chainFrom = [&](std::vector<uint32_t> head, size_t n) {
    // A holder's path from the object itself (a class whose static holds its holder) is no
    // answer: the object would hold itself.
    if (std::find(head.begin(), head.end(), target) != head.end()) return;
    for (; n != SIZE_MAX; n = nodes[n].below) head.push_back(nodes[n].handle);
    if (!best || head.size() < best->size()) best = std::move(head);
  };
  size_t levelStart = 0;
  for (size_t level = 0; level < kHolderLevels && levelStart < nodes.size() && !best; ++level) {
    const size_t levelEnd = nodes.size();
    for (size_t n = levelStart; n < levelEnd && queries < kReferrerQueries; ++n, ++queries) {
      simvm::Report r;
      {
        const auto scope = s.callScope();  // none while other threads share the VM
        r = s.caller().referrers(nodes[n].handle);
        dropCallObjects(s, r);
      }
      for (const simvm::Record& rec : r.records) {
        if (!seen.insert(rec.handle).second) continue;
        const bool reference = isReferenceObject(vm, rec.handle);
        if (reference && rec.kind == 'I' && rec.detail == "referent") continue;
        if (rec.kind == 'C' || isLocal(rec.detail)) {  // a class or a thread: a root itself
          chainFrom({rec.handle}, n);
          continue;
        }
        if (!reference && searches < kPathSearches) {
          ++searches;
          const auto scope = s.callScope();  // none while other threads share the VM
          const simvm::PathResult p = s.caller().path(rec.handle, maxNodes);
          if (p.array != 0) {
            chainFrom(p.handles, n);
            continue;
          }
          if (p.message == "Exceeded maximum nodes") cutShort = true;
        }
        nodes.push_back({rec.handle, n});
      }
    }
    levelStart = levelEnd;
  }
  return best;
}

uint32_t loaderOf(simvm::Vm& vm, uint32_t cls) {
  try {
    return vm.getStatic(cls, simvm::kLoaderStatic);
  } catch (const std::exception&) {
    return 0;  // no such static: the class was not loaded from a dump, or has no loader
  }
}

std::optional<HeldAnswer> answerForClass(Session& s, uint32_t cls, int32_t maxNodes,
                                         bool& cutShort) {
  HeldAnswer a;
  simvm::RootKind kind;
  if (s.dump() && s.dump()->rootKindOf(cls, kind)) {
    a.handles = {cls};
    a.why = "the search takes no classes; the dump names this one a GC root";
    return a;
  }
  if (const uint32_t loader = loaderOf(s.vm(), cls); loader && kindOf(s.vm(), loader) == 'I') {
    simvm::PathResult p;
    {
      const auto scope = s.callScope();
      p = s.caller().path(loader, maxNodes);
    }
    if (p.array != 0) {
      a.handles = p.handles;
      a.handles.push_back(cls);
      a.lastVia = "class loader of it";
      a.lastViaJson = "loader";
      a.why =
          "the search takes no classes; a class is kept by its class loader, and this is the "
          "search's path to the loader " +
          describeHandle(s, loader);
      return a;
    }
  }
  if (std::optional<std::vector<uint32_t>> chain = pathThroughHolder(s, cls, maxNodes, cutShort)) {
    a.handles = std::move(*chain);
    a.why = "the search takes no classes; this is its path to the holder " +
            describeHandle(s, a.handles[a.handles.size() - 2]) + ", which holds it";
    return a;
  }
  a.handles = {cls};
  a.why =
      "the search takes no classes, and nothing else holds this one; classes are where its paths "
      "start: they hold what their static fields refer to";
  return a;
}

}  // namespace

std::optional<HeldAnswer> answerWithoutPath(Session& s, uint32_t target, int32_t maxNodes,
                                            bool& cutShort) {
  cutShort = false;
  const char kind = kindOf(s.vm(), target);
  if (kind == 'C') return answerForClass(s, target, maxNodes, cutShort);
  std::string why;
  if (kind == 'P')
    why = "the search takes no primitive arrays; this is its path to the holder ";
  else if ((kind == 'I' || kind == 'A') && isReferenceObject(s.vm(), target))
    why = kind == 'A' ? "the search takes no arrays of Reference objects; this is its path to the "
                        "holder "
                      : "the search takes no Reference objects; this is its path to the holder ";
  else
    return std::nullopt;
  std::optional<std::vector<uint32_t>> chain = pathThroughHolder(s, target, maxNodes, cutShort);
  if (!chain) return std::nullopt;
  const uint32_t holder = (*chain)[chain->size() - 2];
  HeldAnswer a;
  a.handles = std::move(*chain);
  a.why = why + describeHandle(s, holder) + ", which holds it";
  return a;
}

}  // namespace cli
