// What a query reports of the heap alone. The census and the usage walk the heap while the
// caller's own objects for the call (the prefix String with its char array, the output stream)
// are in it, so their rows count those objects too. The census rule is simple enough to undo
// exactly: an object raises the row of its class and, when superclasses are credited, those of
// the classes above it whose names begin with the prefix. Usage charges each object its size and
// the arrays it owns, which is undone by measuring: the query is made again while the first
// call's objects are still in the heap, and the difference is what one set adds.
#include <algorithm>
#include <map>

#include "simvm/library.h"

namespace simvm {
namespace {

bool matchesPrefix(const std::string& name, const std::string& prefix) {
  return name.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

Report Caller::heapClasses(const std::string& prefix, bool creditSuperclasses, bool sortByCount) {
  Report r = classes(prefix, creditSuperclasses, sortByCount);
  for (uint32_t h : made_) {
    const int32_t type = vm_.typeCodeOf(h);
    if (type != kObject && type != kObjectArray) continue;  // primitive arrays are not counted
    const char kind = type == kObjectArray ? 'A' : 'C';
    for (uint32_t c = vm_.classOfObject(h); c != 0; c = vm_.superclassOf(c)) {
      const std::string name = vm_.className(c);
      if (name[0] != '[' && matchesPrefix(name, prefix)) {
        auto it = std::find_if(r.records.begin(), r.records.end(), [&](const Record& rec) {
          return rec.kind == kind && rec.className == name;
        });
        if (it != r.records.end()) {
          const long long count = std::stoll(it->detail) - 1;
          if (count > 0)
            it->detail = std::to_string(count);
          else
            r.records.erase(it);  // the row was there for the call's object alone
        }
      }
      if (!creditSuperclasses) break;
    }
  }
  // Rows sorted by count may need reordering; the library's order among equal counts is kept.
  if (sortByCount)
    std::stable_sort(r.records.begin(), r.records.end(), [](const Record& a, const Record& b) {
      return std::stoll(a.detail) > std::stoll(b.detail);
    });
  r.count = static_cast<int32_t>(r.records.size());
  return r;
}

UsageReport Caller::heapUsage(const std::string& prefix) {
  UsageReport once = usage(prefix);
  // The first call's objects stay in the heap (its stream keeps its bytes outside the VM's
  // memory): the second call counts two sets where the first counted one.
  std::vector<uint32_t> both = made_;
  UsageReport twice = usage(prefix);
  both.insert(both.end(), made_.begin(), made_.end());
  made_ = std::move(both);
  std::map<std::string, std::pair<int64_t, int64_t>> second;
  for (const UsageRecord& u : twice.records) second[u.className] = {u.count, u.bytes};
  std::vector<UsageRecord> kept;
  for (UsageRecord u : once.records) {
    auto it = second.find(u.className);
    if (it != second.end()) {
      u.count -= static_cast<int32_t>(it->second.first - u.count);
      u.bytes -= it->second.second - u.bytes;
    }
    if (u.count > 0) kept.push_back(u);
  }
  once.records = std::move(kept);
  once.count = static_cast<int32_t>(once.records.size());
  return once;
}

}  // namespace simvm
