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

// The file's records, read into plain maps; then the walk from the roots.
class DumpReading {
 public:
  explicit DumpReading(Reachability& out) : out_(out) {}

  // Reads the whole file; false (with out.error set) when it is not a readable dump.
  bool read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    d_.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    size_t p = 0;
    while (p < d_.size() && d_[p] != 0) ++p;
    p += 1;
    if (p + 12 > d_.size()) return fail("short file");
    id_ = static_cast<int>(u(p, 4));
    p += 12;
    while (p + 9 <= d_.size()) {
      const uint8_t tag = d_[p];
      const size_t len = u(p + 5, 4), body = p + 9, end = body + len;
      if (end > d_.size()) return fail("record past the end");
      if (tag == 0x01) {
        utf8_[u(body, id_)] = std::string(d_.begin() + body + id_, d_.begin() + end);
      } else if (tag == 0x02) {
        nameOfClass_[u(body + 4, id_)] = u(body + 8 + id_, id_);
      } else if ((tag == 0x0C || tag == 0x1C) && !readHeapDump(body, end)) {
        return false;
      }
      p = end;
    }
    return true;
  }

  // Every object reachable from the roots, breadth first, none through a Reference instance.
  void walk() {
    for (uint64_t r : roots_) visit(r);
    for (size_t i = 0; i < out_.reachable.size(); ++i) {
      const uint64_t x = out_.reachable[i];
      switch (out_.kindOf[x]) {
        case Reachability::kClass: {
          const Cls& c = classes_[x];
          visit(c.super);
          for (uint64_t r : c.refs) visit(r);
          break;
        }
        case Reachability::kInstance:
          visitInstance(x);
          break;
        case Reachability::kObjectArray: {
          visit(instances_[x].first);
          const auto [n, at] = arrays_[x];
          for (uint32_t k = 0; k < n; ++k) visit(u(at + size_t(k) * id_, id_));
          break;
        }
        case Reachability::kPrimitiveArray:
          break;
      }
    }
  }

 private:
  struct Cls {
    uint64_t super = 0;
    std::vector<uint64_t> refs;
    std::vector<uint8_t> fieldTypes;
  };

  bool fail(const char* error) {
    out_.error = error;
    return false;
  }

  uint64_t u(size_t at, int n) const {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | d_[at + i];
    return v;
  }

  int size(uint8_t t) const {
    switch (t) {
      case 2: return id_;
      case 4: case 8: return 1;
      case 5: case 9: return 2;
      case 6: case 10: return 4;
      case 7: case 11: return 8;
      default: return -1;
    }
  }

  // The sub-records of one heap-dump record.
  bool readHeapDump(size_t body, size_t end) {
    for (size_t q = body; q < end;) {
      const uint8_t s = d_[q++];
      const uint64_t obj = u(q, id_);
      switch (s) {
        case 0xFF: case 0x05: case 0x07: root(s, obj); q += id_; break;
        case 0x01: root(s, obj); q += 2 * id_; break;
        case 0x02: case 0x03: case 0x08: root(s, obj); q += id_ + 8; break;
        case 0x04: case 0x06: root(s, obj); q += id_ + 4; break;
        case 0x20: q = readClassDump(q, obj); break;
        case 0x21: {
          instances_[obj] = {u(q + id_ + 4, id_), q + 2 * id_ + 8};
          out_.kindOf[obj] = Reachability::kInstance;
          q += 2 * id_ + 8 + u(q + 2 * id_ + 4, 4);
          break;
        }
        case 0x22: {
          const uint32_t n = static_cast<uint32_t>(u(q + id_ + 4, 4));
          arrays_[obj] = {n, q + 2 * id_ + 8};
          instances_[obj] = {u(q + id_ + 8, id_), 0};
          out_.kindOf[obj] = Reachability::kObjectArray;
          q += 2 * id_ + 8 + uint64_t(n) * id_;
          break;
        }
        case 0x23: {
          out_.kindOf[obj] = Reachability::kPrimitiveArray;
          q += id_ + 9 + u(q + id_ + 4, 4) * size(d_[q + id_ + 8]);
          break;
        }
        default:
          return fail("unknown sub-record");
      }
    }
    return true;
  }

  void root(uint8_t tag, uint64_t obj) {
    roots_.push_back(obj);
    out_.rootIds[tag].insert(obj);
  }

  // A class dump at q (just past its tag): its references and instance field types. Returns
  // where the next sub-record begins.
  size_t readClassDump(size_t q, uint64_t obj) {
    Cls c;
    c.super = u(q + id_ + 4, id_);
    for (int k = 2; k <= 4; ++k) c.refs.push_back(u(q + k * id_ + 4, id_));
    q += 7 * id_ + 8;
    for (uint64_t n = u(q, 2), k = (q += 2, 0); k < n; ++k) {  // constant pool
      const uint8_t t = d_[q + 2];
      if (t == 2) c.refs.push_back(u(q + 3, id_));
      q += 3 + size(t);
    }
    for (uint64_t n = u(q, 2), k = (q += 2, 0); k < n; ++k) {  // statics
      const uint8_t t = d_[q + id_];
      if (t == 2) c.refs.push_back(u(q + id_ + 1, id_));
      q += id_ + 1 + size(t);
    }
    for (uint64_t n = u(q, 2), k = (q += 2, 0); k < n; ++k) {  // instance fields
      c.fieldTypes.push_back(d_[q + id_]);
      q += id_ + 1;
    }
    classes_[obj] = std::move(c);
    out_.kindOf[obj] = Reachability::kClass;
    return q;
  }

  // java/lang/ref/Reference and every class below it.
  bool referenceClass(uint64_t c) {
    if (c == 0) return false;
    if (auto it = isReference_.find(c); it != isReference_.end()) return it->second;
    isReference_[c] = false;
    auto n = nameOfClass_.find(c);
    bool r = n != nameOfClass_.end() && utf8_[n->second] == "java/lang/ref/Reference";
    if (!r && classes_.count(c)) r = referenceClass(classes_[c].super);
    return isReference_[c] = r;
  }

  void visit(uint64_t x) {
    if (x != 0 && out_.kindOf.count(x) && seen_.insert(x).second) out_.reachable.push_back(x);
  }

  // An instance leads to its class and, unless it is a Reference, its reference fields.
  void visitInstance(uint64_t x) {
    const auto [cls, at] = instances_[x];
    visit(cls);
    if (referenceClass(cls)) {
      out_.isReference.insert(x);
      return;
    }
    size_t q = at;
    for (uint64_t c = cls; c != 0 && classes_.count(c); c = classes_[c].super)
      for (uint8_t t : classes_[c].fieldTypes) {
        if (t == 2) visit(u(q, id_));
        q += size(t);
      }
  }

  Reachability& out_;
  std::vector<uint8_t> d_;
  int id_ = 0;
  std::unordered_map<uint64_t, std::string> utf8_;
  std::unordered_map<uint64_t, uint64_t> nameOfClass_;
  std::unordered_map<uint64_t, Cls> classes_;
  std::unordered_map<uint64_t, std::pair<uint64_t, size_t>> instances_;  // class, payload offset
  std::unordered_map<uint64_t, std::pair<uint32_t, size_t>> arrays_;     // length, elements
  std::vector<uint64_t> roots_;
  std::unordered_map<uint64_t, bool> isReference_;
  std::unordered_set<uint64_t> seen_;
};

inline Reachability reachableObjects(const std::string& path) {
  Reachability out;
  DumpReading reading(out);
  if (reading.read(path)) reading.walk();
  return out;
}

}  // namespace hproftest
