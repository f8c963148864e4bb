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
  std::unordered_map<uint64_t, Kind> kindOf;      // every dumped id
  std::vector<uint64_t> reachable;                // in breadth-first order
  std::map<uint8_t, std::set<uint64_t>> rootIds;  // distinct rooted ids per root tag
  std::unordered_set<uint64_t> isReference;       // instances of Reference classes
  std::string error;                              // empty when the file was read
};

// The file's records, read into plain maps.
struct DumpRecords {
  struct Cls {
    uint64_t super = 0;
    std::vector<uint64_t> refs;
    std::vector<uint8_t> fieldTypes;
  };
  std::vector<uint8_t> d;
  int id = 0;
  std::unordered_map<uint64_t, std::string> utf8;
  std::unordered_map<uint64_t, uint64_t> nameOfClass;
  std::unordered_map<uint64_t, Cls> classes;
  std::unordered_map<uint64_t, std::pair<uint64_t, size_t>> instances;  // class, payload offset
  std::unordered_map<uint64_t, std::pair<uint32_t, size_t>> arrays;     // length, elements
  std::vector<uint64_t> roots;

  uint64_t u(size_t at, int n) const {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | d[at + i];
    return v;
  }
  int size(uint8_t t) const {
    switch (t) {
      case 2:
        return id;
      case 4:
      case 8:
        return 1;
      case 5:
      case 9:
        return 2;
      case 6:
      case 10:
        return 4;
      case 7:
      case 11:
        return 8;
      default:
        return -1;
    }
  }
};

// A class dump at q (past its tag): its references and instance field types. Returns where the
// next sub-record begins.
inline size_t readClassDump(const DumpRecords& r, size_t q, DumpRecords::Cls& c) {
  const int id = r.id;
  c.super = r.u(q + id + 4, id);
  for (int k = 2; k <= 4; ++k) c.refs.push_back(r.u(q + k * id + 4, id));
  q += 7 * id + 8;
  for (uint64_t n = r.u(q, 2), k = (q += 2, 0); k < n; ++k) {  // constant pool
    const uint8_t t = r.d[q + 2];
    if (t == 2) c.refs.push_back(r.u(q + 3, id));
    q += 3 + r.size(t);
  }
  for (uint64_t n = r.u(q, 2), k = (q += 2, 0); k < n; ++k) {  // statics
    const uint8_t t = r.d[q + id];
    if (t == 2) c.refs.push_back(r.u(q + id + 1, id));
    q += id + 1 + r.size(t);
  }
  for (uint64_t n = r.u(q, 2), k = (q += 2, 0); k < n; ++k) {  // instance fields
    c.fieldTypes.push_back(r.d[q + id]);
    q += id + 1;
  }
  return q;
}

// The sub-records of one heap-dump segment; false at an unknown one.
inline bool readHeapDump(DumpRecords& r, size_t q, size_t end, Reachability& out) {
  const int id = r.id;
  while (q < end) {
    const uint8_t s = r.d[q++];
    const uint64_t obj = r.u(q, id);
    if (s == 0xFF || s == 0x01 || (s >= 0x02 && s <= 0x08)) {
      r.roots.push_back(obj);
      out.rootIds[s].insert(obj);
    }
    switch (s) {
      case 0xFF:
      case 0x05:
      case 0x07:
        q += id;
        break;
      case 0x01:
        q += 2 * id;
        break;
      case 0x02:
      case 0x03:
      case 0x08:
        q += id + 8;
        break;
      case 0x04:
      case 0x06:
        q += id + 4;
        break;
      case 0x20:
        r.classes[obj] = {};  // a class dumped again is read afresh
        q = readClassDump(r, q, r.classes[obj]);
        out.kindOf[obj] = Reachability::kClass;
        break;
      case 0x21:
        r.instances[obj] = {r.u(q + id + 4, id), q + 2 * id + 8};
        out.kindOf[obj] = Reachability::kInstance;
        q += 2 * id + 8 + r.u(q + 2 * id + 4, 4);
        break;
      case 0x22: {
        const uint32_t n = static_cast<uint32_t>(r.u(q + id + 4, 4));
        r.arrays[obj] = {n, q + 2 * id + 8};
        r.instances[obj] = {r.u(q + id + 8, id), 0};
        out.kindOf[obj] = Reachability::kObjectArray;
        q += 2 * id + 8 + uint64_t(n) * id;
        break;
      }
      case 0x23:
        out.kindOf[obj] = Reachability::kPrimitiveArray;
        q += id + 9 + r.u(q + id + 4, 4) * r.size(r.d[q + id + 8]);
        break;
      default:
        out.error = "unknown sub-record";
        return false;
    }
  }
  return true;
}

// Reads the whole file; false, with out.error set, when it is no readable dump.
inline bool readRecords(const std::string& path, DumpRecords& r, Reachability& out) {
  std::ifstream f(path, std::ios::binary);
  r.d.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  size_t p = 0;
  while (p < r.d.size() && r.d[p] != 0) ++p;
  p += 1;
  if (p + 12 > r.d.size()) {
    out.error = "short file";
    return false;
  }
  r.id = static_cast<int>(r.u(p, 4));
  for (p += 12; p + 9 <= r.d.size();) {
    const uint8_t tag = r.d[p];
    const size_t len = r.u(p + 5, 4), body = p + 9, end = body + len;
    if (end > r.d.size()) {
      out.error = "record past the end";
      return false;
    }
    if (tag == 0x01) {
      r.utf8[r.u(body, r.id)] = std::string(r.d.begin() + body + r.id, r.d.begin() + end);
    } else if (tag == 0x02) {
      r.nameOfClass[r.u(body + 4, r.id)] = r.u(body + 8 + r.id, r.id);
    } else if ((tag == 0x0C || tag == 0x1C) && !readHeapDump(r, body, end, out)) {
      return false;
    }
    p = end;
  }
  return true;
}

// Every object reachable from the roots, breadth first, none through a Reference instance.
inline void walkFromRoots(DumpRecords& r, Reachability& out) {
  // Reference classes: java/lang/ref/Reference and every class below it.
  std::unordered_map<uint64_t, bool> isReference;
  std::function<bool(uint64_t)> referenceClass = [&](uint64_t c) -> bool {
    if (c == 0) return false;
    if (auto it = isReference.find(c); it != isReference.end()) return it->second;
    isReference[c] = false;
    auto n = r.nameOfClass.find(c);
    bool ref = n != r.nameOfClass.end() && r.utf8[n->second] == "java/lang/ref/Reference";
    if (!ref && r.classes.count(c)) ref = referenceClass(r.classes[c].super);
    return isReference[c] = ref;
  };
  std::unordered_set<uint64_t> seen;
  auto visit = [&](uint64_t x) {
    if (x != 0 && out.kindOf.count(x) && seen.insert(x).second) out.reachable.push_back(x);
  };
  for (uint64_t root : r.roots) visit(root);
  for (size_t i = 0; i < out.reachable.size(); ++i) {
    const uint64_t x = out.reachable[i];
    switch (out.kindOf[x]) {
      case Reachability::kClass: {
        const DumpRecords::Cls& c = r.classes[x];
        visit(c.super);
        for (uint64_t ref : c.refs) visit(ref);
        break;
      }
      case Reachability::kInstance: {
        const auto [cls, at] = r.instances[x];
        visit(cls);
        if (referenceClass(cls)) {
          out.isReference.insert(x);
          break;
        }
        size_t q = at;
        for (uint64_t c = cls; c != 0 && r.classes.count(c); c = r.classes[c].super)
          for (uint8_t t : r.classes[c].fieldTypes) {
            if (t == 2) visit(r.u(q, r.id));
            q += r.size(t);
          }
        break;
      }
      case Reachability::kObjectArray: {
        visit(r.instances[x].first);
        const auto [n, at] = r.arrays[x];
        for (uint32_t k = 0; k < n; ++k) visit(r.u(at + size_t(k) * r.id, r.id));
        break;
      }
      case Reachability::kPrimitiveArray:
        break;
    }
  }
}

inline Reachability reachableObjects(const std::string& path) {
  Reachability out;
  DumpRecords records;
  if (readRecords(path, records, out)) walkFromRoots(records, out);
  return out;
}

}  // namespace hproftest
