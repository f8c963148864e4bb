// Passes beside the floor that read, in the same tight way, what some queries cannot answer
// without: every object array's element-class word (which lies past the array's elements, where
// the floor never reads); every reference word of the heap (a plain object's reference fields,
// an object array's elements and class word); every array-typed field of a plain object and the
// slot of the array it holds. None does anything with what it reads.
// They show how much of a query's time the memory it must read costs by itself on the machine
// at hand, so that a ratio to the floor can be judged against what is possible.
//
// They ask for the lines they will read 32 slots ahead, as the queries do; without that the
// passes would measure the wait for memory rather than the reading. (At 16 slots the class-word
// pass waited: it took a fifth longer. At 64 none of them is faster than at 32.)
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "simvm/vm.h"

namespace bench {

// The instance fields of every class whose signatures begin with one of `kinds` ("L[" for all
// references, "[" for arrays), by the class handle's slot: offsets[begin[k] .. begin[k + 1])
// for the class whose handle is first + 8 * k.
struct ReferencePlan {
  uint32_t first = 0;
  std::vector<uint32_t> begin;
  std::vector<uint32_t> offsets;
};

inline ReferencePlan planReferences(const simvm::Vm& vm, const std::string& kinds) {
  ReferencePlan plan;
  plan.first = vm.tableFirst();
  uint32_t last = 0;
  for (uint32_t cls : vm.classes()) last = std::max(last, (cls - plan.first) / 8);
  std::vector<std::vector<uint32_t>> fields(last + 1);
  for (uint32_t cls : vm.classes()) {
    std::vector<uint32_t>& own = fields[(cls - plan.first) / 8];
    for (uint32_t c = cls; c != 0; c = vm.superclassOf(c))
      for (const simvm::FieldDecl& f : vm.fieldsOf(c))
        if (!f.isStatic && kinds.find(f.signature[0]) != std::string::npos)
          own.push_back(vm.fieldOffset(c, f.name));
  }
  for (const std::vector<uint32_t>& own : fields) {
    plan.begin.push_back(static_cast<uint32_t>(plan.offsets.size()));
    plan.offsets.insert(plan.offsets.end(), own.begin(), own.end());
  }
  plan.begin.push_back(static_cast<uint32_t>(plan.offsets.size()));
  return plan;
}

// Reads as the floor does: whole 32-bit words the compiler may not skip. VM addresses are
// pointers once widened.
inline uint32_t boundWord(uint32_t address) {
  return *reinterpret_cast<const volatile uint32_t*>(static_cast<uintptr_t>(address));
}

// i686 code has no SSE, and there the compiler drops __builtin_prefetch; the instruction is
// written out instead, as the library does.
inline void boundPrefetch(uint32_t address) {
  const char* p = reinterpret_cast<const char*>(static_cast<uintptr_t>(address));
#if defined(__i386__) && !defined(__SSE__)
  __asm__ volatile("prefetcht0 %0" : : "m"(*p));
#else
  __builtin_prefetch(p);
#endif
}

constexpr uint32_t kBoundAhead = 32 * 8;  // bytes of handle table: 32 slots, as the queries look

// The loop the bounds share: the floor's reads of each slot; ahead(body, methods) for the live
// slot 16 further on, to ask for the lines the pass will read there; and the sum of
// visit(body, methods), which reads what the bound adds, for each live slot.
template <typename Ahead, typename Visit>
inline uint64_t boundPass(uint32_t first, uint32_t end, Ahead ahead, Visit visit) {
  uint64_t sum = 0;
  for (uint32_t h = first; h != end; h += 8) {
    if (end - h > kBoundAhead) {
      const uint32_t body = boundWord(h + kBoundAhead);
      if (body != 0) ahead(body, boundWord(h + kBoundAhead + 4));
    }
    const uint32_t body = boundWord(h);
    const uint32_t methods = boundWord(h + 4);
    sum += body ^ methods;
    if (body != 0) sum += visit(body, methods);
  }
  return sum;
}

// The class word of a plain object (the floor's read) and its class's planned offsets.
struct PlannedFields {
  uint32_t classWord;
  const uint32_t* begin;
  const uint32_t* end;
};

inline PlannedFields plannedFields(const ReferencePlan& plan, uint32_t methods) {
  const uint32_t classWord = boundWord(methods);
  const uint32_t k = (classWord - plan.first) / 8;
  if (k + 1 >= plan.begin.size()) return {classWord, nullptr, nullptr};
  return {classWord, plan.offsets.data() + plan.begin[k], plan.offsets.data() + plan.begin[k + 1]};
}

inline uint64_t arrayClassWordPass(uint32_t first, uint32_t end) {
  return boundPass(
      first, end,
      [](uint32_t body, uint32_t methods) {
        if ((methods & 0x1F) == 2) boundPrefetch(body + 4 * (methods >> 5));
      },
      [](uint32_t body, uint32_t methods) -> uint64_t {
        if ((methods & 0x1F) == 0) return boundWord(methods);
        if ((methods & 0x1F) == 2) return boundWord(body + 4 * (methods >> 5));
        return 0;
      });
}

inline uint64_t referencePass(const ReferencePlan& plan, uint32_t first, uint32_t end) {
  return boundPass(
      first, end,
      [](uint32_t body, uint32_t methods) {
        boundPrefetch(body);
        if ((methods & 0x1F) == 2) boundPrefetch(body + 4 * (methods >> 5));
      },
      [&plan](uint32_t body, uint32_t methods) -> uint64_t {
        uint64_t sum = 0;
        if ((methods & 0x1F) == 0) {
          const PlannedFields fields = plannedFields(plan, methods);
          sum += fields.classWord;
          for (const uint32_t* f = fields.begin; f != fields.end; f++) sum += boundWord(body + *f);
        } else if ((methods & 0x1F) == 2) {
          for (uint32_t i = 0, n = methods >> 5; i <= n; i++) sum += boundWord(body + 4 * i);
        }
        return sum;
      });
}

// The arrays a plain object holds in its fields: the field, then the array's methods word.
inline uint64_t arrayFieldPass(const ReferencePlan& plan, uint32_t first, uint32_t end) {
  return boundPass(
      first, end,
      [](uint32_t body, uint32_t methods) {
        if ((methods & 0x1F) == 0) boundPrefetch(body);
      },
      [&plan, first, end](uint32_t body, uint32_t methods) -> uint64_t {
        if ((methods & 0x1F) != 0) return 0;
        const PlannedFields fields = plannedFields(plan, methods);
        uint64_t sum = fields.classWord;
        for (const uint32_t* f = fields.begin; f != fields.end; f++) {
          const uint32_t array = boundWord(body + *f);
          if (array - first < end - first && array % 8 == 0) sum += boundWord(array + 4);
        }
        return sum;
      });
}

}  // namespace bench
