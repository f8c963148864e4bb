// Calls findPathToRoot0 through the VM's stub interface with a message array the test made,
// so that a model can look at exactly the heap the library will see.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "simvm/library.h"
#include "simvm/vm.h"

namespace pathtest {

struct PathCall {
  uint32_t array = 0;             // the int array handle, 0 on failure
  std::vector<uint32_t> handles;  // its elements, root first
  std::string message;            // element 0 of messageOut as text, "" when null
};

inline uint32_t newMessageArray(simvm::Vm& vm) { return vm.newObjectArray(vm.stringClass(), 1); }

inline PathCall callPath(simvm::Vm& vm, simvm::Caller& caller, uint32_t target, int32_t maxNodes,
                         uint32_t messageOut) {
  std::vector<uint32_t> slots{target, static_cast<uint32_t>(maxNodes), messageOut};
  if (caller.call("findPathToRoot0", slots) != 1)
    throw simvm::VmError("findPathToRoot0 did not return the address of slot 1");
  PathCall result;
  result.array = slots[0];
  if (result.array != 0) {
    uint32_t methods = vm.methodsOf(result.array);
    if ((methods & 0x1F) != simvm::kInt) throw simvm::VmError("the result is no int array");
    for (uint32_t i = 0; i < (methods >> 5); i++)
      result.handles.push_back(vm.getElement(result.array, i));
  }
  if (uint32_t text = vm.getElement(messageOut, 0)) result.message = vm.stringValue(text);
  return result;
}

}  // namespace pathtest
