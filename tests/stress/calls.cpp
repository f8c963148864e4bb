#include "tests/stress/calls.h"

#include <cstdio>

namespace stress {

const char* methodName(Query q) {
  static const char* kNames[kQueries] = {
      "getClassInfo0",  "getHandleInfo0",          "getClasses0",     "getHandles0",
      "getReferences0", "getBackTraceReferences0", "findPathToRoot0", "getMemoryUsage0"};
  return kNames[static_cast<int>(q)];
}

CallerSlots newCallerSlots(simvm::Vm& vm) {
  CallerSlots s;
  s.stream = vm.newOutputStream();
  s.messageOut = vm.newObjectArray(vm.stringClass(), 2);
  s.canary = vm.newString("canary");
  vm.setElement(s.messageOut, 1, s.canary);
  return s;
}

namespace {

std::string text(simvm::Vm& vm, uint32_t string) {
  return string == 0 ? std::string("<null>") : vm.stringValue(string);
}

}  // namespace

Answer run(simvm::Vm& vm, simvm::Caller& caller, const CallerSlots& slots, const Call& call) {
  Answer answer;
  const char* method = methodName(call.query);
  std::vector<uint32_t> args;
  switch (call.query) {
    case Query::kClassInfo:
    case Query::kHandleInfo:
      args = {call.handle};
      caller.call(method, args);
      answer.bytes = text(vm, args[0]);
      return answer;
    case Query::kPath: {
      vm.setElement(slots.messageOut, 0, 0);
      args = {call.handle, call.a, slots.messageOut};
      caller.call(method, args);
      if (vm.getElement(slots.messageOut, 1) != slots.canary)
        answer.fault = "the message array's second element was written";
      if (args[0] != 0) {
        const uint32_t length = vm.methodsOf(args[0]) >> 5;
        for (uint32_t i = 0; i < length; i++) answer.handles.push_back(vm.getElement(args[0], i));
        for (uint32_t h : answer.handles) answer.bytes += std::to_string(h) + ' ';
      } else {
        answer.bytes = "message: " + text(vm, vm.getElement(slots.messageOut, 0));
      }
      return answer;
    }
    default:
      break;
  }
  vm.clearStream(slots.stream);
  args = {slots.stream, call.handle, call.a, call.b};
  caller.call(method, args);
  answer.bytes = vm.streamBytes(slots.stream);
  try {
    if (call.query == Query::kUsage) {
      simvm::decodeUsageReport(answer.bytes);
    } else {
      for (const simvm::Record& r : simvm::decodeReport(answer.bytes).records)
        answer.handles.push_back(r.handle);
    }
  } catch (const std::exception& e) {
    answer.fault = std::string("undecodable report: ") + e.what();
  }
  return answer;
}

std::vector<Call> mixedCalls(simvm::Vm& vm, const pathtest::RandomHeap& heap,
                             const std::vector<uint32_t>& extraTargets, std::mt19937& rng,
                             size_t count) {
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  std::vector<uint32_t> prefixes;
  for (const char* p : {"t/", "t/C", "t/C1", "t/C2", "x/"}) prefixes.push_back(vm.newString(p));
  std::vector<uint32_t> ownClasses;
  for (uint32_t c : heap.classes)
    if (vm.className(c).rfind("t/", 0) == 0) ownClasses.push_back(c);
  auto target = [&]() {
    if (!extraTargets.empty() && below(10) == 0) return extraTargets[below(extraTargets.size())];
    return pathtest::pickTarget(heap, rng);
  };
  std::vector<Call> calls;
  for (size_t i = 0; i < count; i++) {
    Call c{static_cast<Query>(below(kQueries))};
    switch (c.query) {
      case Query::kClasses:
        c.handle = prefixes[below(prefixes.size())];
        c.a = static_cast<uint32_t>(below(2));
        c.b = static_cast<uint32_t>(below(2));
        break;
      case Query::kUsage:
        c.handle = prefixes[below(prefixes.size())];
        break;
      case Query::kHandles:
        c.handle = below(8) == 0 ? target() : ownClasses[below(ownClasses.size())];
        c.a = static_cast<uint32_t>(below(2));
        c.b = static_cast<uint32_t>(below(3));  // plain instances, object arrays, both
        break;
      case Query::kClassInfo:
        c.handle = below(4) == 0 ? target() : ownClasses[below(ownClasses.size())];
        break;
      case Query::kPath:
        c.handle = target();
        c.a = static_cast<uint32_t>(pathtest::pickMaxNodes(rng));
        break;
      default:
        c.handle = target();
        break;
    }
    calls.push_back(c);
  }
  return calls;
}

}  // namespace stress
