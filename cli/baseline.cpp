#include "cli/baseline.h"

#include <algorithm>

#include "cli/session.h"

namespace cli {

bool Baseline::hasId(uint64_t id) const { return std::binary_search(ids.begin(), ids.end(), id); }

std::shared_ptr<const Baseline> loadBaseline(const GlobalOptions& options) {
  GlobalOptions o = options;
  o.heap = options.baseline;
  o.baseline.clear();
  auto b = std::make_shared<Baseline>();
  b->file = options.baseline;
  {
    Session s(o);
    // Each query in a scope of its own: what one call made is gone before the next counts.
    std::map<std::string, int64_t> usageBytes;
    {
      simvm::VmScope scope(s.vm());
      for (const simvm::UsageRecord& u : s.caller().heapUsage("").records)
        usageBytes[u.className] = u.bytes;
    }
    for (const bool credited : {false, true}) {
      auto& rows = credited ? b->creditedRows : b->rows;
      simvm::VmScope scope(s.vm());
      for (const simvm::Record& r : s.caller().heapClasses("", credited, false).records) {
        BaselineRow row;
        row.count = std::stoll(r.detail);
        if (r.kind == 'C' && !credited)
          if (auto it = usageBytes.find(r.className); it != usageBytes.end())
            row.bytes = it->second;
        rows[Baseline::key(r.kind, r.className)] = row;
      }
    }
    if (const simvm::LoadedHeap* dump = s.dump()) {
      b->ids.reserve(dump->idOfHandle.size());
      for (const auto& [handle, id] : dump->idOfHandle) b->ids.push_back(id);
      std::sort(b->ids.begin(), b->ids.end());
    }
  }
  return b;
}

}  // namespace cli
