#include "native/fuzz/stub_input.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "simvm/library.h"
#include "simvm/vm.h"
#include "tests/common/random_heap.h"

namespace fuzzing {
namespace {

// The input read front to back; past its end every read gives 0.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool more() const { return p_ < end_; }
  uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | u8();
    return v;
  }
  std::string text(size_t max) {
    // The length byte is read first: in one expression, what is left might be counted before it.
    const size_t wanted = u8() % (max + 1);
    const size_t n = std::min<size_t>(wanted, static_cast<size_t>(end_ - p_));
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

[[noreturn]] void finding(const std::string& what) {
  std::fprintf(stderr, "stub fuzzing: %s\n", what.c_str());
  std::abort();
}

constexpr const char* kMethods[] = {"getClassInfo0",   "getHandleInfo0", "getClasses0",
                                    "getHandles0",     "getReferences0", "getBackTraceReferences0",
                                    "findPathToRoot0", "getMemoryUsage0"};

struct Run {
  simvm::Vm& vm;
  simvm::Caller& caller;
  const pathtest::RandomHeap& heap;
  Bytes& in;
  uint32_t stream, messageOut, canary;

  uint32_t from(const std::vector<uint32_t>& v) { return v.empty() ? 0 : v[in.u8() % v.size()]; }

  // An int slot: a handle of any kind, or any word at all.
  uint32_t word() {
    switch (in.u8() % 8) {
      case 0:
        return in.u32();
      case 1:
        return from(heap.classes);
      case 2:
        return from(heap.arrays);
      case 3:
        return from(heap.primitives);
      case 4:
        return from(heap.freed);
      case 5:
        return from(heap.junk);
      case 6:
        return static_cast<uint32_t>(static_cast<int8_t>(in.u8()));
      default:
        return from(heap.objects);
    }
  }

  // A String slot: null, a prefix the heap's classes have, or any text.
  uint32_t prefix() {
    static const char* kPrefixes[] = {"", "t/", "t/C1", "java/lang/", "java.lang.", "[", "x"};
    const uint8_t k = in.u8() % 10;
    if (k == 0) return 0;
    try {
      return vm.newString(k < 8 ? kPrefixes[k - 1] : in.text(12));
    } catch (const simvm::VmError&) {
      return 0;  // not text the VM makes a String of
    }
  }

  void call() {
    const uint8_t q = in.u8() % 8;
    std::vector<uint32_t> slots;
    switch (q) {
      case 0:
      case 1:
        slots = {word()};
        break;
      case 6:
        vm.setElement(messageOut, 0, 0);
        slots = {word(), word(), in.u8() % 16 ? messageOut : 0};
        break;
      default: {
        const uint32_t out = in.u8() % 16 ? stream : 0;
        if (out) vm.clearStream(out);
        const uint32_t first = q == 2 || q == 7 ? prefix() : word();
        slots = {out, first, word(), word()};
      }
    }
    const int returned = caller.call(kMethods[q], slots);
    if (returned != 0 && returned != 1) finding("a stub returned no slot of its own");
    if (vm.getElement(messageOut, 1) != canary || vm.arrayLength(messageOut) != 2)
      finding(std::string(kMethods[q]) + " wrote beyond the message array's first element");
    if (q >= 2 && q != 6 && slots[0] != 0) {
      const std::string& bytes = vm.streamBytes(stream);
      try {
        if (q == 7)
          simvm::decodeUsageReport(bytes);
        else
          simvm::decodeReport(bytes);
      } catch (const simvm::VmError& e) {
        finding(std::string(kMethods[q]) + " wrote a report that does not decode: " + e.what());
      }
    }
  }
};

// The bytes of the heap as it stood before the calls: the handle table and the arena in use.
std::vector<uint8_t> snapshot(simvm::Vm& vm, const simvm::Vm::Mark& mark) {
  std::vector<uint8_t> bytes;
  auto add = [&](uint32_t from, uint32_t to) {
    const uint8_t* p = static_cast<const uint8_t*>(vm.pointer(from));
    bytes.insert(bytes.end(), p, p + (to - from));
  };
  add(vm.tableFirst(), mark.nextSlot);
  add(vm.tableEnd(), mark.arenaNext);
  return bytes;
}

}  // namespace

void callStubs(const uint8_t* data, size_t size) {
  static const simvm::Library library(simvm::Library::defaultDir());
  Bytes in(data, size);
  std::mt19937 rng(in.u32());
  pathtest::RandomHeapShape shape;
  shape.maxObjects = 1 + in.u8() % 160;
  simvm::VmConfig config;
  config.slots = 1u << 12;
  config.arenaBytes = 4u << 20;
  simvm::Vm vm(config);
  const pathtest::RandomHeap heap = pathtest::buildRandomHeap(vm, rng, shape);
  simvm::Caller caller(vm, library);
  const uint32_t stream = vm.newOutputStream();
  const uint32_t messageOut = vm.newObjectArray(vm.stringClass(), 2);
  const uint32_t canary = vm.newString("canary");
  vm.setElement(messageOut, 1, canary);

  const simvm::Vm::Mark mark = vm.mark();
  const std::vector<uint8_t> before = snapshot(vm, mark);
  Run run{vm, caller, heap, in, stream, messageOut, canary};
  for (int calls = 0; calls < 16 && in.more(); ++calls) {
    run.call();
    vm.setElement(messageOut, 0, 0);  // the one element a path search may set
    vm.releaseTo(mark);
    const std::vector<uint8_t> after = snapshot(vm, mark);
    if (after.size() != before.size()) finding("the heap before the calls changed size");
    if (std::memcmp(after.data(), before.data(), before.size()) != 0) {
      size_t i = 0;
      while (after[i] == before[i]) ++i;
      finding("a call changed the heap it was given, at byte " + std::to_string(i) +
              " of the table and arena in use before it");
    }
  }
}

}  // namespace fuzzing
