// Memory held by the instances of each class: instance sizes plus the arrays they own. What is
// charged and the report's format: usage.h.
#include "queries/usage.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "queries/classtable.h"
#include "queries/heapwalk.h"
#include "report/writer.h"
#include "support/ptrlist.h"
#include "vm/handles.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/services.h"
#include "vm/strings.h"

namespace tv {

namespace {

// What an array costs beyond its elements.
constexpr int64_t kArrayHeaderBytes = 16;
// Bytes per element of each array type (an object array's elements are handles).
constexpr uint32_t kReferenceBytes = 4;
constexpr uint32_t kBooleanBytes = 1, kByteBytes = 1;
constexpr uint32_t kCharBytes = 2, kShortBytes = 2;
constexpr uint32_t kIntBytes = 4, kFloatBytes = 4;
constexpr uint32_t kLongBytes = 8, kDoubleBytes = 8;

// Bytes per element for an array type code; 0 for a code that names no array type. A plain
// object's code (0) counts as 4, so a field that holds an object is charged as an array would be.
uint32_t elementSize(uint32_t typeCode) {
  switch (typeCode) {
    case kTypeObject:
    case kTypeObjectArray:
      return kReferenceBytes;
    case kTypeBoolean:
      return kBooleanBytes;
    case kTypeChar:
      return kCharBytes;
    case kTypeFloat:
      return kFloatBytes;
    case kTypeDouble:
      return kDoubleBytes;
    case kTypeByte:
      return kByteBytes;
    case kTypeShort:
      return kShortBytes;
    case kTypeInt:
      return kIntBytes;
    case kTypeLong:
      return kLongBytes;
    default:
      return 0;
  }
}

// What an array whose methods word is `methods` costs.
int64_t arrayCharge(uint32_t methods) {
  uint32_t code = methods & kTypeCodeMask;
  uint32_t size = elementSize(code);
  if (size == 0) {
    // The diagnostic names the routine that printed it in an earlier version of the library;
    // kept word for word, since callers watching the VM's output may look for it.
    printf("computeSize - unknown array type %x\n", code);
    fflush(stdout);
    return kArrayHeaderBytes;
  }
  return kArrayHeaderBytes + static_cast<int64_t>(methods >> kLengthShift) * size;
}

// One class in the memory report. Counts stay 32-bit; bytes are 64-bit so that a class holding
// more than 2 GB is not reported as a negative number.
struct UsageEntry {
  uint32_t classHandle;
  int32_t count;
  int64_t bytes;
};

const char* nameOrEmpty(uint32_t cls) {
  const char* name = className(cls);
  return name != nullptr ? name : "";
}

// Larger bytes first, then larger count, then class name ascending. Records that compare
// equal print the same bytes, so the order the sort leaves them in cannot show.
int compareUsage(const void* a, const void* b) {
  const UsageEntry* x = *static_cast<const UsageEntry* const*>(a);
  const UsageEntry* y = *static_cast<const UsageEntry* const*>(b);
  if (x->bytes != y->bytes) return x->bytes > y->bytes ? -1 : 1;
  if (x->count != y->count) return x->count > y->count ? -1 : 1;
  return strcmp(nameOrEmpty(x->classHandle), nameOrEmpty(y->classHandle));
}

// ClassInfo::answer of a class that is not counted; otherwise its UsageEntry.
constexpr uintptr_t kSkipped = 1;

struct UsageWalk {
  ClassTable classes;  // the instance array fields of each class met
  HandleSpace space;
  uint8_t* charged;  // one bit per slot: the arrays charged so far
  uint32_t classClass;
  const char* prefix;
  size_t prefixLength;
  int failed;
};

// Class objects are not counted, nor classes without a name or outside the prefix.
uintptr_t decide(UsageWalk* w, uint32_t c) {
  if (c == w->classClass) return kSkipped;
  const char* name = className(c);
  if (name == nullptr || strncmp(name, w->prefix, w->prefixLength) != 0) return kSkipped;
  UsageEntry* e = static_cast<UsageEntry*>(malloc(sizeof(UsageEntry)));
  if (e == nullptr) {
    w->failed = 1;
    return 0;
  }
  *e = UsageEntry{c, 0, 0};
  return reinterpret_cast<uintptr_t>(e);
}

// An array is charged to the first counted instance that holds it in an instance array field.
// What the loop consults is held in locals (see vmRead32). With `aligned`, every field's
// address is known to be aligned.
template <bool aligned>
inline void chargeInstance(UsageWalk* w, uint32_t body, const FieldRef* fields, uint32_t count,
                           int64_t size, UsageEntry* e) {
  const HandleSpace space = w->space;
  uint8_t* const charged = w->charged;
  for (uint32_t i = 0; i < count; i++) {
    const uint32_t at = body + fields[i].offset;
    const uint32_t v = aligned ? vmRead32Aligned(at) : vmRead32(at);
    // isLive(v) for the space the walk installed, without its loads of the shared bounds. A
    // slot is 8-aligned (slotIndexIn says so), its words with it.
    uint32_t slot = slotIndexIn(space, v);
    if (slot == kNotASlot || vmRead32Aligned(v + kHandleBody) == 0) continue;
    uint8_t bit = static_cast<uint8_t>(1u << (slot % 8));
    if (charged[slot / 8] & bit) continue;
    charged[slot / 8] |= bit;
    size += arrayCharge(vmRead32Aligned(v + kHandleMethods));
  }
  e->count++;
  e->bytes += size;
}

// What the walk keeps of a class, by class word, so that an instance of a class met before
// costs one probe: whether it is counted, and then its entry, instance size and array fields.
struct ChargePlan {
  uint32_t word;
  uint32_t firstField;  // into the class table's fields
  uint32_t fieldCount;
  uint32_t kind;  // kPlanEmpty, kPlanSkipped, or kPlanCounted (| kPlanAligned)
  uint32_t instanceSize;
  UsageEntry* entry;
};
constexpr uint32_t kPlanEmpty = 0, kPlanSkipped = 1, kPlanCounted = 2, kPlanAligned = 4;
constexpr uint32_t kPlanSlots = 1024;  // a power of two, well above a heap's classes

inline uint32_t planSlotOf(uint32_t word) { return (word >> 3) * 0x9E3779B1u >> 22; }
static_assert(kPlanSlots == 1u << (32 - 22), "planSlotOf yields kPlanSlots slots");

// An instance of a class not in the plans: looked up in the class table, and its plan kept
// when the slot is free.
void visitUnplanned(UsageWalk* w, ChargePlan* plan, uint32_t body, uint32_t word) {
  ClassInfo* info = classInfoOf(&w->classes, word);
  if (info == nullptr) return;  // no memory: the report is dropped
  if (info->cls != 0 && info->answer == 0) info->answer = decide(w, info->cls);
  if (info->cls != 0 && info->answer == 0) return;  // no memory: the report is dropped
  const int counted = info->cls != 0 && info->answer > kSkipped;
  UsageEntry* e = counted ? reinterpret_cast<UsageEntry*>(info->answer) : nullptr;
  const FieldRef* fields = classFields(&w->classes, info);
  if (counted) chargeInstance<false>(w, body, fields, info->fieldCount, info->instanceSize, e);
  if (plan->kind != kPlanEmpty) return;
  uint32_t aligned = kPlanAligned;
  for (uint32_t i = 0; i < info->fieldCount; i++)
    if (fields[i].offset % 4 != 0) aligned = 0;
  *plan = counted ? ChargePlan{word,
                               info->firstField,
                               info->fieldCount,
                               kPlanCounted | aligned,
                               info->instanceSize,
                               e}
                  : ChargePlan{word, 0, 0, kPlanSkipped, 0, nullptr};
}

inline void visitInstance(UsageWalk* w, ChargePlan* plans, uint32_t body, uint32_t methods) {
  if (body == 0 || (methods & kTypeCodeMask) != kTypeObject) return;
  // A plain object's methods word is aligned (its low bits are the type code, 0).
  const uint32_t word = vmRead32Aligned(methods + kMethodTableClass);
  const ChargePlan* plan = &plans[planSlotOf(word)];
  if (plan->word != word || plan->kind == kPlanEmpty) {
    visitUnplanned(w, &plans[planSlotOf(word)], body, word);
    return;
  }
  if (plan->kind == kPlanSkipped) return;
  const FieldRef* fields = w->classes.fields + plan->firstField;
  if (plan->kind == (kPlanCounted | kPlanAligned) && body % 4 == 0) {
    chargeInstance<true>(w, body, fields, plan->fieldCount, plan->instanceSize, plan->entry);
  } else {
    chargeInstance<false>(w, body, fields, plan->fieldCount, plan->instanceSize, plan->entry);
  }
}

void writeUsageList(uint32_t stream, PtrList* list) {
  int32_t n = listCount(list);
  writeDecimal(stream, n);
  writeByte(stream, 0);
  for (int32_t i = 0; i < n; i++) {
    UsageEntry* e = reinterpret_cast<UsageEntry*>(listGet(list, i));
    writeText(stream, nameOrEmpty(e->classHandle));
    writeByte(stream, ' ');
    writeDecimal(stream, e->count);
    writeByte(stream, ' ');
    writeDecimal64(stream, e->bytes);
    writeByte(stream, 0);
  }
}

// Walks the heap and writes the report; returns 0, writing nothing, when memory ran out.
int reportUsage(uint32_t stream, UsageWalk* w) {
  ChargePlan* plans = static_cast<ChargePlan*>(calloc(kPlanSlots, sizeof(ChargePlan)));
  if (plans == nullptr) return 0;
  walkSlotsAhead(
      w->space,
      [](uint32_t body, uint32_t methods) {  // the bodies the walk reads: plain objects'
        if ((methods & kTypeCodeMask) == kTypeObject) prefetchLine(body);
      },
      [w, plans](uint32_t, uint32_t body, uint32_t methods) {
        visitInstance(w, plans, body, methods);
      });
  free(plans);
  if (w->classes.failed || w->failed) return 0;
  PtrList* list = listNew();
  int ok = list != nullptr;
  for (uint32_t i = 0; ok && i < w->classes.count; i++) {
    uintptr_t answer = w->classes.infos[i].answer;
    if (answer > kSkipped) ok = listPush(list, answer);
  }
  if (ok) {
    listSort(list, compareUsage);
    writeUsageList(stream, list);
  }
  listDestroy(&list);
  return ok;
}

}  // namespace

// A stream that is no live object gets nothing. A prefix that is no string, or a query that
// runs out of memory, gets an empty report.
void getMemoryUsage(uint32_t stream, uint32_t prefix) {
  HandleSpace space = beginHeapWalk();
  if (!isWritableStream(stream)) return;
  const char* cprefix = javaStringBytes(prefix);
  UsageWalk w = {{},
                 space,
                 static_cast<uint8_t*>(calloc(slotCount(space) / 8 + 1, 1)),
                 FindClass(nullptr, "java/lang/Class", 1),
                 cprefix,
                 cprefix != nullptr ? strlen(cprefix) : 0,
                 0};
  int ready =
      classTableInit(&w.classes, fieldIsArray, 0) && cprefix != nullptr && w.charged != nullptr;
  if (!ready || !reportUsage(stream, &w)) {
    writeDecimal(stream, 0);
    writeByte(stream, 0);
  }
  for (uint32_t i = 0; i < w.classes.count; i++)
    if (w.classes.infos[i].answer > kSkipped)
      free(reinterpret_cast<void*>(w.classes.infos[i].answer));
  classTableFree(&w.classes);
  free(w.charged);
}

}  // namespace tv
