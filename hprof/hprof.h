// Loads an HPROF heap dump (.hprof, or gzip-compressed .hprof.gz) written by a current JDK into a
// new stand-in VM, laid out as the VM would lay out that heap.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "hprof/heap_ids.h"
#include "simvm/vm.h"

namespace simvm {

// A file that cannot be read as a heap dump: the message says what and the byte offset (in the
// uncompressed stream) where reading stopped. Nothing is half-loaded: no VM is returned.
struct HprofError : VmError {
  HprofError(const std::string& what, uint64_t offset);
  uint64_t offset;
};

struct HprofOptions {
  bool high = false;  // place the VM's region at or above 2 GB
  // A stream (uncompressed) longer than this many bytes is refused as soon as reading reaches
  // the limit; 0: no limit. For callers that load dumps they know nothing about in bulk: a small
  // gzip file may inflate to a thousand times its size.
  uint64_t maxStreamBytes = 0;
  // Called now and then while loading: bytes of the (uncompressed) stream read so far and the
  // total when known (0 when not known, as for a compressed file).
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// A map kept as one array of pairs sorted by key, for maps built once and looked up now and
// then: a node per entry would cost a dump of millions of objects more time and memory than
// the rest of the loading.
template <class K, class V>
class SortedPairs {
 public:
  using value_type = std::pair<K, V>;
  using const_iterator = const value_type*;

  SortedPairs() = default;
  explicit SortedPairs(std::vector<value_type> sorted) : v_(std::move(sorted)) {}

  const_iterator begin() const { return v_.data(); }
  const_iterator end() const { return v_.data() + v_.size(); }
  size_t size() const { return v_.size(); }
  bool empty() const { return v_.empty(); }
  const_iterator find(K key) const {
    const_iterator it =
        std::lower_bound(begin(), end(), key, [](const value_type& e, K k) { return e.first < k; });
    return it != end() && it->first == key ? it : end();
  }
  size_t count(K key) const { return find(key) != end() ? 1 : 0; }
  const V& at(K key) const {
    const_iterator it = find(key);
    if (it == end()) throw std::out_of_range("no such key");
    return it->second;
  }

 private:
  std::vector<value_type> v_;
};

// The kinds of GC root a dump records. Java frame roots become the local slots of their thread's
// frames; a sticky (system) class root that names a class is that class, a root already
// through its statics; every other root is a static of a holder class made for its kind.
enum class RootKind : uint8_t {
  kJniGlobal,
  kJniLocal,
  kNativeStack,
  kSystemClass,
  kThreadBlock,
  kMonitorUsed,
  kThreadObject,
  kUnknown,
  kJavaFrame,
};
constexpr size_t kRootKinds = 9;
// "JNI global", "system class", "thread object", ...
const char* rootKindName(RootKind kind);

// Statics every imported class with such a reference gains: what the dump records the class as
// referring to.
constexpr const char* kLoaderStatic = "<class loader>";
constexpr const char* kSignersStatic = "<signers>";
constexpr const char* kProtectionDomainStatic = "<protection domain>";

// A reference to an id the dump does not contain: who holds it, where ("next", "[3]",
// "static cache", "<class loader>", "root: JNI global", ...) and the id.
struct DanglingReference {
  uint64_t referrer;  // dump id of the object or class; 0 for a root
  std::string where;
  uint64_t missing;
};

// Top-level records of one tag the reader skipped by their length (a tag it does not read, or
// one damaged into another): what they held is not in the heap.
struct SkippedRecords {
  uint8_t tag = 0;
  uint64_t count = 0;
  uint64_t bytes = 0;  // headers included
};

struct LoadedHeap {
  std::unique_ptr<Vm> vm;
  // Dump object/class id -> handle and back, both kept in one table (hprof/heap_ids.h).
  HandleOfId handleOfId;
  IdOfHandle idOfHandle;
  uint64_t danglingReferences = 0;          // references to ids the dump does not contain (made 0)
  std::vector<DanglingReference> dangling;  // the first million of them, in dump order
  uint64_t objects = 0;                     // instances and arrays loaded
  uint64_t classes = 0;                     // classes loaded
  uint64_t threads = 0;                     // threads with stacks
  uint32_t idSize = 0;                      // 4 or 8
  std::vector<SkippedRecords> skippedRecords;  // by tag, in ascending order
  // Arrays the queries do not list: primitive arrays and arrays of arrays, by their Java name
  // ("byte[]", "int[][]", "java.lang.String[][]"): how many and their bytes in the dump.
  struct ArrayTally {
    uint64_t count = 0, bytes = 0;
  };
  std::vector<std::pair<std::string, ArrayTally>> unlistedArrays;  // sorted by name
  // Holder classes (none has instances; named "<root:JNI-global>" and so on), by handle.
  SortedPairs<uint32_t, RootKind> rootHolders;
  std::vector<uint32_t> systemClasses;  // class handles named by sticky class roots, sorted
  uint64_t roots[kRootKinds] = {};      // distinct objects rooted, per kind

  // What the dump declares of each class, for a console to show beside the VM's own copy:
  // the instance fields and statics in declaration order, with the exact value of each static
  // (a long or double whole, though the VM keeps one word per static).
  struct DeclaredField {
    std::string name;  // as the dump names it
    char type = 'L';   // 'L' for a reference, else the primitive's letter ('J', 'D', 'Z', ...)
    bool isStatic = false;
    uint64_t value = 0;  // a static's value: the raw bits, or the handle of a reference
    std::string vmName;  // the VM's field that holds its value; "" when the VM keeps no copy
  };
  std::map<uint32_t, std::vector<DeclaredField>> declaredFields;  // by class handle
  // Instance field values the VM keeps no copy of (a Thread's eetop, whose place is the VM's own
  // ThreadBlock word): the raw bits as the dump holds them, sorted by object.
  struct DroppedValue {
    uint32_t object = 0;
    uint32_t cls = 0;  // the class declaring the field
    std::string field;
    uint64_t bits = 0;  // for a reference: the dump id
  };
  std::vector<DroppedValue> droppedValues;
  // The bytes the dump holds for the instances of each class (their field values) and for the
  // object arrays of each element class (their elements), by class handle: a census's "shallow"
  // figure from the dump itself, without the object headers of the VM that wrote it.
  std::map<uint32_t, uint64_t> instanceBytes, objectArrayBytes;

  // The kind of root a path starting at this handle begins with, when the dump says: a holder
  // class's kind, or kSystemClass for a class the dump names as a sticky class root.
  bool rootKindOf(uint32_t handle, RootKind& kind) const {
    if (auto it = rootHolders.find(handle); it != rootHolders.end()) {
      kind = it->second;
      return true;
    }
    if (std::binary_search(systemClasses.begin(), systemClasses.end(), handle)) {
      kind = RootKind::kSystemClass;
      return true;
    }
    return false;
  }
};

std::unique_ptr<LoadedHeap> loadHprof(const std::string& path, const HprofOptions& options = {});

}  // namespace simvm
