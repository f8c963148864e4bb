// An independent reading of a plain HPROF file for the tests: which objects are reachable from
// the dump's GC roots without passing through a java/lang/ref/Reference object. It shares no
// code with the importer: a fault in either shows as a difference.
//
// Edges: a class to its superclass, loader, signers, protection domain and static references;
// an instance to its class and its reference fields (none out of a Reference instance); an
// object array to its class and its elements.
#pragma once
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace hproftest {

struct Reachability {
  enum Kind : uint8_t { kClass, kInstance, kObjectArray, kPrimitiveArray };
  std::unordered_map<uint64_t, Kind> kindOf;           // every dumped id
  std::vector<uint64_t> reachable;                     // in breadth-first order
  std::map<uint8_t, std::set<uint64_t>> rootIds;      // distinct rooted ids per root tag
  std::unordered_set<uint64_t> isReference;            // instances of Reference classes
  std::string error;                                   // empty when the file was read
};

inline Reachability reachableObjects(const std::string& path) {
  Reachability out;
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t p = 0;
  while (p < d.size() && d[p] != 0) ++p;
  p += 1;
  auto u = [&](size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | d[at + i];
    return v;
  };
  if (p + 12 > d.size()) {
    out.error = "short file";
    return out;
  }
  const int id = static_cast<int>(u(p, 4));
  p += 12;
  auto size = [&](uint8_t t) -> int {
    switch (t) {
      case 2: return id;
      case 4: case 8: return 1;
      case 5: case 9: return 2;
      case 6: case 10: return 4;
      case 7: case 11: return 8;
      default: return -1;
    }
  };
  std::unordered_map<uint64_t, std::string> utf8;
  std::unordered_map<uint64_t, uint64_t> nameOfClass;
  struct Cls {
    uint64_t super = 0;
    std::vector<uint64_t> refs;
    std::vector<uint8_t> fieldTypes;
  };
  std::unordered_map<uint64_t, Cls> classes;
  std::unordered_map<uint64_t, std::pair<uint64_t, size_t>> instances;  // class, payload offset
  std::unordered_map<uint64_t, std::pair<uint32_t, size_t>> arrays;     // length, elements
  std::vector<uint64_t> roots;
  while (p + 9 <= d.size()) {
    const uint8_t tag = d[p];
    const size_t len = u(p + 5, 4), body = p + 9, end = body + len;
    if (end > d.size()) {
      out.error = "record past the end";
      return out;
    }
    if (tag == 0x01) {
      utf8[u(body, id)] = std::string(d.begin() + body + id, d.begin() + end);
    } else if (tag == 0x02) {
      nameOfClass[u(body + 4, id)] = u(body + 8 + id, id);
    } else if (tag == 0x0C || tag == 0x1C) {
      for (size_t q = body; q < end;) {
        const uint8_t s = d[q++];
        const uint64_t obj = u(q, id);
        switch (s) {
          case 0xFF: case 0x05: case 0x07: roots.push_back(obj); out.rootIds[s].insert(obj); q += id; break;
          case 0x01: roots.push_back(obj); out.rootIds[s].insert(obj); q += 2 * id; break;
          case 0x02: case 0x03: case 0x08: roots.push_back(obj); out.rootIds[s].insert(obj); q += id + 8; break;
          case 0x04: case 0x06: roots.push_back(obj); out.rootIds[s].insert(obj); q += id + 4; break;
          case 0x20: {
            Cls c;
            c.super = u(q + id + 4, id);
            for (int k = 2; k <= 4; ++k) c.refs.push_back(u(q + k * id + 4, id));
            q += 7 * id + 8;
            for (uint64_t n = u(q, 2), k = (q += 2, 0); k < n; ++k) {
              const uint8_t t = d[q + 2];
              if (t == 2) c.refs.push_back(u(q + 3, id));
              q += 3 + size(t);
            }
            for (uint64_t n = u(q, 2), k = (q += 2, 0); k < n; ++k) {
              const uint8_t t = d[q + id];
              if (t == 2) c.refs.push_back(u(q + id + 1, id));
              q += id + 1 + size(t);
            }
            for (uint64_t n = u(q, 2), k = (q += 2, 0); k < n; ++k) {
              c.fieldTypes.push_back(d[q + id]);
              q += id + 1;
            }
            classes[obj] = std::move(c);
            out.kindOf[obj] = Reachability::kClass;
            break;
          }
          case 0x21: {
            instances[obj] = {u(q + id + 4, id), q + 2 * id + 8};
            out.kindOf[obj] = Reachability::kInstance;
            q += 2 * id + 8 + u(q + 2 * id + 4, 4);
            break;
          }
          case 0x22: {
            const uint32_t n = static_cast<uint32_t>(u(q + id + 4, 4));
            arrays[obj] = {n, q + 2 * id + 8};
            instances[obj] = {u(q + id + 8, id), 0};
            out.kindOf[obj] = Reachability::kObjectArray;
            q += 2 * id + 8 + uint64_t(n) * id;
            break;
          }
          case 0x23: {
            out.kindOf[obj] = Reachability::kPrimitiveArray;
            q += id + 9 + u(q + id + 4, 4) * size(d[q + id + 8]);
            break;
          }
          default:
            out.error = "unknown sub-record";
            return out;
        }
      }
    }
    p = end;
  }
  // Reference classes: java/lang/ref/Reference and every class below it.
  std::unordered_map<uint64_t, bool> isReference;
  std::function<bool(uint64_t)> referenceClass = [&](uint64_t c) -> bool {
    if (c == 0) return false;
    if (auto it = isReference.find(c); it != isReference.end()) return it->second;
    isReference[c] = false;
    auto n = nameOfClass.find(c);
    bool r = n != nameOfClass.end() && utf8[n->second] == "java/lang/ref/Reference";
    if (!r && classes.count(c)) r = referenceClass(classes[c].super);
    return isReference[c] = r;
  };
  std::unordered_set<uint64_t> seen;
  auto visit = [&](uint64_t x) {
    if (x != 0 && out.kindOf.count(x) && seen.insert(x).second) out.reachable.push_back(x);
  };
  for (uint64_t r : roots) visit(r);
  for (size_t i = 0; i < out.reachable.size(); ++i) {
    const uint64_t x = out.reachable[i];
    switch (out.kindOf[x]) {
      case Reachability::kClass: {
        const Cls& c = classes[x];
        visit(c.super);
        for (uint64_t r : c.refs) visit(r);
        break;
      }
      case Reachability::kInstance: {
        const auto [cls, at] = instances[x];
        visit(cls);
        if (referenceClass(cls)) {
          out.isReference.insert(x);
          break;
        }
        size_t q = at;
        for (uint64_t c = cls; c != 0 && classes.count(c); c = classes[c].super)
          for (uint8_t t : classes[c].fieldTypes) {
            if (t == 2) visit(u(q, id));
            q += size(t);
          }
        break;
      }
      case Reachability::kObjectArray: {
        visit(instances[x].first);
        const auto [n, at] = arrays[x];
        for (uint32_t k = 0; k < n; ++k) visit(u(at + size_t(k) * id, id));
        break;
      }
      case Reachability::kPrimitiveArray:
        break;
    }
  }
  return out;
}

}  // namespace hproftest
