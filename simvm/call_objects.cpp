// What a query reports of the heap alone. The census and the usage walk the heap while the
// caller's own objects for the call (the prefix String with its char array, the output stream)
// are in it, so their rows count those objects too. The census rule is simple enough to undo
// exactly: an object raises the row of its class and, when superclasses are credited, those of
// the classes above it whose names begin with the prefix. Usage charges each object its size and
// the arrays it owns: an array held in an array-typed field is charged once, 16 bytes and its
// elements, to the first counted instance in handle order that holds it. The call's objects hold
// only arrays of their own (the prefix's chars), which nothing else in the heap can hold, so
// what they add is computed from them alone. Should one ever hold anything else, the query is
// made again while the first call's objects are still in the heap, and the difference is what
// one set adds.
#include <algorithm>
#include <map>

#include "simvm/library.h"
#include "simvm/vm_state.h"

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

bool Caller::callUsage(const std::string& prefix, std::map<std::string, UsageRecord>& added) const {
  std::vector<uint32_t> mine = made_;
  std::sort(mine.begin(), mine.end());  // the walk's order
  std::vector<uint32_t> charged;
  for (uint32_t h : mine) {
    if (vm_.typeCodeOf(h) != kObject || vm_.isClassHandle(h)) continue;
    const uint32_t cls = vm_.classOfObject(h);
    const std::string name = vm_.className(cls);
    if (cls == vm_.classClass() || !matchesPrefix(name, prefix)) continue;
    int64_t bytes = vm_.instanceSize(cls);
    for (uint32_t c = cls; c != 0; c = vm_.superclassOf(c))
      for (const FieldDecl& f : vm_.fieldsOf(c)) {
        if (f.isStatic || f.signature.empty() || f.signature[0] != '[') continue;
        const uint32_t v = vm_.getField(h, f.name);
        if (v == 0 || std::find(charged.begin(), charged.end(), v) != charged.end()) continue;
        const int32_t type = vm_.typeCodeOf(v);
        // Anything but an array of the call's own is left to measuring.
        if (type == kObject || !std::binary_search(mine.begin(), mine.end(), v)) return false;
        charged.push_back(v);
        bytes += 16 + int64_t(vm_.arrayLength(v)) *
                          (type == kObjectArray ? 4 : primitiveElementSize(type));
      }
    UsageRecord& u = added[name];
    u.className = name;
    ++u.count;
    u.bytes += bytes;
  }
  return true;
}

UsageReport Caller::heapUsage(const std::string& prefix) {
  UsageReport once = usage(prefix);
  std::map<std::string, UsageRecord> added;
  if (!callUsage(prefix, added)) {
    // The first call's objects stay in the heap (its stream keeps its bytes outside the VM's
    // memory): the second call counts two sets where the first counted one.
    std::vector<uint32_t> both = made_;
    UsageReport twice = usage(prefix);
    both.insert(both.end(), made_.begin(), made_.end());
    made_ = std::move(both);
    added.clear();
    std::map<std::string, UsageRecord> second;
    for (const UsageRecord& u : twice.records) second[u.className] = u;
    for (const UsageRecord& u : once.records) {
      auto it = second.find(u.className);
      if (it == second.end()) continue;
      UsageRecord& d = added[u.className];
      d.count = it->second.count - u.count;
      d.bytes = it->second.bytes - u.bytes;
    }
  }
  std::vector<UsageRecord> kept;
  for (UsageRecord u : once.records) {
    auto it = added.find(u.className);
    if (it != added.end()) {
      u.count -= it->second.count;
      u.bytes -= it->second.bytes;
    }
    if (u.count > 0) kept.push_back(u);
  }
  once.records = std::move(kept);
  once.count = static_cast<int32_t>(once.records.size());
  return once;
}

}  // namespace simvm
