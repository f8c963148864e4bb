#include "tests/common/testkit.h"

#include <cstdio>

namespace testkit {

std::string libraryDir() { return simvm::Library::defaultDir(); }

Heap::Heap(const simvm::VmConfig& config)
    : vm(config), lib(libraryDir(), /*privateCopy=*/true), call(vm, lib) {}

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

}  // namespace testkit
