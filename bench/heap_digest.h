// A digest of everything a loaded dump became: the VM's handle table and arena as they lie in
// memory, and every table of LoadedHeap. Two builds of the importer that load the same dump into
// VMs at the same address must print the same digest (`bench_heap_digest FILE...`): a
// change meant to make loading faster is checked with it against the build before it.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "hprof/hprof.h"

namespace bench {

class Fnv {
 public:
  void bytes(const void* p, size_t n) {
    const auto* c = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) h_ = (h_ ^ c[i]) * 1099511628211ull;
  }
  template <class T>
  void value(const T& v) {
    bytes(&v, sizeof v);
  }
  void text(const std::string& s) {
    value(s.size());
    bytes(s.data(), s.size());
  }
  uint64_t result() const { return h_; }

 private:
  uint64_t h_ = 1469598103934665603ull;
};

inline uint64_t heapDigest(const simvm::LoadedHeap& heap) {
  Fnv f;
  const simvm::Vm& vm = *heap.vm;
  f.value(vm.regionBase());
  f.value(vm.bytesUsed());
  f.value(vm.tableFirst());
  // The region from the handle table to the end of what is used, a word at a time.
  const auto* p = static_cast<const uint8_t*>(vm.pointer(vm.tableFirst()));
  const uint64_t n = uint64_t(vm.regionBase()) + vm.bytesUsed() - vm.tableFirst();
  uint64_t words = 0;
  for (uint64_t i = 0; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    words = (words ^ w) * 0x9E3779B97F4A7C15ull + i;
  }
  f.value(words);
  for (const auto& [id, handle] : heap.handleOfId) f.value(id), f.value(handle);
  for (const auto& [handle, id] : heap.idOfHandle) f.value(handle), f.value(id);
  f.value(heap.danglingReferences);
  for (const auto& d : heap.dangling) f.value(d.referrer), f.text(d.where), f.value(d.missing);
  f.value(heap.objects), f.value(heap.classes), f.value(heap.threads), f.value(heap.idSize);
  for (const auto& k : heap.skippedRecords) f.value(k.tag), f.value(k.count), f.value(k.bytes);
  for (const auto& [name, t] : heap.unlistedArrays)
    f.text(name), f.value(t.count), f.value(t.bytes);
  for (const auto& [handle, kind] : heap.rootHolders) f.value(handle), f.value(kind);
  for (uint32_t c : heap.systemClasses) f.value(c);
  for (uint64_t r : heap.roots) f.value(r);
  for (const auto& [handle, fields] : heap.declaredFields) {
    f.value(handle);
    for (const auto& d : fields)
      f.text(d.name), f.value(d.type), f.value(d.isStatic), f.value(d.value), f.text(d.vmName);
  }
  for (const auto& d : heap.droppedValues)
    f.value(d.object), f.value(d.cls), f.text(d.field), f.value(d.bits);
  for (const auto& [handle, bytes] : heap.instanceBytes) f.value(handle), f.value(bytes);
  for (const auto& [handle, bytes] : heap.objectArrayBytes) f.value(handle), f.value(bytes);
  return f.result();
}

}  // namespace bench
