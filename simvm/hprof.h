// Loads an HPROF heap dump (.hprof, or gzip-compressed .hprof.gz) written by a current JDK into a
// new stand-in VM, laid out as the VM would lay out that heap.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

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
  // Called now and then while loading: bytes of the (uncompressed) stream read so far and the
  // total when known (0 when not known, as for a compressed file).
  std::function<void(uint64_t done, uint64_t total)> progress;
};

struct LoadedHeap {
  std::unique_ptr<Vm> vm;
  std::unordered_map<uint64_t, uint32_t> handleOfId;  // dump object/class id -> handle
  std::unordered_map<uint32_t, uint64_t> idOfHandle;  // handle -> dump id
  uint64_t danglingReferences = 0;  // references to ids the dump does not contain (made 0)
  uint64_t objects = 0;             // instances and arrays loaded
  uint64_t classes = 0;             // classes loaded
  uint64_t threads = 0;             // threads with stacks
  uint32_t idSize = 0;              // 4 or 8
};

std::unique_ptr<LoadedHeap> loadHprof(const std::string& path, const HprofOptions& options = {});

}  // namespace simvm
