// What one object refers to, and what refers to one object.
#include "queries/references.h"

#include <stdlib.h>

#include "queries/classtable.h"
#include "queries/heapwalk.h"
#include "report/compare.h"
#include "report/entry.h"
#include "report/writer.h"
#include "vm/handles.h"
#include "vm/handlespace.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/threads.h"

namespace tv {

namespace {

// The list does not own its entries: one that cannot be added is freed here.
void append(PtrList* list, HeapEntry* e) {
  if (!listPush(list, reinterpret_cast<uintptr_t>(e))) free(e);
}

void appendNamed(PtrList* list, HeapEntry* e, uint32_t name) {
  e->detailIsName = 1;
  e->detail = static_cast<int32_t>(name);
  append(list, e);
}

void appendIndexed(PtrList* list, HeapEntry* e, uint32_t index) {
  e->detail = static_cast<int32_t>(index);
  append(list, e);
}

// --- what one object refers to ----------------------------------------------------------

// Fields never report arrays of arrays; elements and stack slots do (makeEntry decides there).
int isFieldTarget(uint32_t v) { return isObject(v) || (isObjectArray(v) && !isArrayOfArrays(v)); }

struct Outgoing {
  PtrList* list;
  uint32_t holder;
  int staticFields;  // the statics of the class `holder` describes, else holder's instance fields
};

void addFieldRef(uint32_t entry, void* context) {
  const Outgoing* out = static_cast<const Outgoing*>(context);
  if (!fieldIsReference(entry) || fieldIsStatic(entry) != out->staticFields) return;
  uint32_t v = out->staticFields ? fieldStaticValue(entry) : fieldInstanceValue(entry, out->holder);
  if (!isFieldTarget(v)) return;
  HeapEntry* e = makeEntry(v);
  if (e != nullptr) appendNamed(out->list, e, fieldNameAddress(entry));
}

int addClassFieldRefs(uint32_t c, void* context) {
  walkFieldTable(c, addFieldRef, context);
  return 1;
}

void addStackRef(uint32_t v, uint32_t methodName, void* context) {
  HeapEntry* e = makeEntry(v);
  if (e == nullptr) return;
  e->methodSuffix = 1;
  appendNamed(static_cast<PtrList*>(context), e, methodName);
}

void collectElementRefs(PtrList* list, uint32_t array) {
  uint32_t length = arrayLength(array);
  for (uint32_t i = 0; i < length; i++) {
    uint32_t e = arrayElement(array, i);
    if (e == 0) continue;
    HeapEntry* entry = makeEntry(e);
    if (entry != nullptr) appendIndexed(list, entry, i);
  }
}

// Collects what h refers to; returns 0 when the list keeps its order (an array's index order).
int collectOutgoing(PtrList* list, uint32_t h) {
  if (isClassObject(h)) {
    Outgoing out = {list, h, 1};
    walkFieldTable(h, addFieldRef, &out);
  } else if (isObject(h)) {
    Outgoing out = {list, h, 0};
    walkClassChain(classOf(h), addClassFieldRefs, &out);
    if (isThread(h)) scanThreadStack(h, nullptr, addStackRef, list);
  } else if (isObjectArray(h)) {
    collectElementRefs(list, h);
    return 0;
  }
  return 1;
}

// A null list is written as an empty report.
void writeAndFree(uint32_t stream, PtrList* list, int sorted) {
  if (sorted && list != nullptr) listSort(list, compareReferrers);
  writeEntryList(stream, list);
  listDestroy(&list);
}

// --- what refers to one object -----------------------------------------------------------

struct BackTrace {
  uint32_t target;
  int targetHasEntry;  // a stack slot holding the target is reported only then
  HandleSpace space;   // the walk's bounds, so thread scans need not probe the table again
  PtrList* list;
  ClassTable classes;   // the reference fields of each class met
  uint32_t holder;      // the class object whose statics, or the thread whose stack, is read
  uint32_t holderName;  // the name of the thread's class
};

void addStaticReferrer(uint32_t entry, void* context) {
  BackTrace* bt = static_cast<BackTrace*>(context);
  if (!fieldIsStatic(entry) || !fieldIsReference(entry)) return;
  if (fieldStaticValue(entry) != bt->target) return;
  HeapEntry* e = makeEntry(bt->holder);
  if (e != nullptr) appendNamed(bt->list, e, fieldNameAddress(entry));
}

void addStaticReferrers(BackTrace* bt, uint32_t cls) {
  bt->holder = cls;
  walkFieldTable(cls, addStaticReferrer, bt);
}

// Reports each field of h's body (the `count` planned from `fields`) that holds the target.
// With `aligned`, every field's address is known to be aligned.
template <bool aligned>
inline void addFieldReferrers(BackTrace* bt, uint32_t h, uint32_t body, uint32_t firstField,
                              uint32_t count) {
  const uint32_t target = bt->target;
  const FieldRef* const fields = bt->classes.fields + firstField;
  for (uint32_t i = 0; i < count; i++) {
    const uint32_t at = body + fields[i].offset;
    if ((aligned ? vmRead32Aligned(at) : vmRead32(at)) != target) continue;
    HeapEntry* e = makeEntry(h);
    if (e != nullptr) appendNamed(bt->list, e, fields[i].name);
  }
}

// A slot holding the target makes an entry for the thread itself, named after the method.
void addStackReferrer(uint32_t v, uint32_t methodName, void* context) {
  BackTrace* bt = static_cast<BackTrace*>(context);
  if (v != bt->target) return;
  HeapEntry* e = static_cast<HeapEntry*>(malloc(sizeof(HeapEntry)));
  if (e == nullptr) return;
  *e = HeapEntry{'I', bt->holder, bt->holderName, 1, 1, static_cast<int32_t>(methodName)};
  append(bt->list, e);
}

// The thread's entries are listed outermost slot first, as they always have been: the order
// reaches the unstable sort.
void addStackReferrers(BackTrace* bt, uint32_t thread, const ClassInfo* info) {
  if (!bt->targetHasEntry) return;
  bt->holder = thread;
  bt->holderName = info->name;
  int32_t first = listCount(bt->list);
  scanThreadStack(thread, &bt->space, addStackReferrer, bt);
  uintptr_t* items = bt->list->items;
  for (int32_t i = first, j = listCount(bt->list) - 1; i < j; i++, j--) {
    uintptr_t item = items[i];
    items[i] = items[j];
    items[j] = item;
  }
}

// The elements that hold the target, each reported with its index.
template <bool aligned>
inline void addElementReferrers(BackTrace* bt, uint32_t array, uint32_t body, uint32_t methods) {
  const uint32_t length = methods >> kLengthShift, target = bt->target;
  for (uint32_t i = 0; i < length; i++) {
    const uint32_t at = body + 4 * i;
    if ((aligned ? vmRead32Aligned(at) : vmRead32(at)) != target) continue;
    HeapEntry* e = makeEntry(array);
    if (e != nullptr) appendIndexed(bt->list, e, i);
  }
}

// What the walk keeps of a plain object's class, by class word, so that an object of a class
// met before costs one probe: the class's reference fields, or that it has none to read.
// Class objects and threads are not kept (they take the class table each time).
struct FieldPlan {
  uint32_t word;
  uint32_t firstField;  // into the class table's fields
  uint32_t fieldCount;
  uint32_t kind;  // kPlanEmpty, or kPlanFields (with kPlanAligned when every offset is)
};
constexpr uint32_t kPlanEmpty = 0, kPlanFields = 1, kPlanAligned = 2;
constexpr uint32_t kPlanSlots = 1024;  // a power of two, well above a heap's classes

inline uint32_t planSlotOf(uint32_t word) { return (word >> 3) * 0x9E3779B1u >> 22; }
static_assert(kPlanSlots == 1u << (32 - 22), "planSlotOf yields kPlanSlots slots");

// An object of a class not in the plans: looked up in the class table, and its plan kept
// when the slot is free.
void visitUnplanned(BackTrace* bt, FieldPlan* plan, uint32_t h, uint32_t body, uint32_t word) {
  const ClassInfo* info = classInfoOf(&bt->classes, word);
  if (info == nullptr) return;  // the table failed: the report is dropped
  if (info->isClassClass) {
    addStaticReferrers(bt, h);
    return;
  }
  // An object whose class word leads to no class has no fields and is no thread.
  const uint32_t count = info->cls != 0 ? info->fieldCount : 0;
  if (count != 0) addFieldReferrers<false>(bt, h, body, info->firstField, count);
  if (info->cls != 0 && info->isThread) {
    addStackReferrers(bt, h, info);
    return;
  }
  if (plan->kind != kPlanEmpty) return;
  uint32_t aligned = kPlanAligned;
  for (uint32_t i = 0; i < count; i++)
    if (bt->classes.fields[info->firstField + i].offset % 4 != 0) aligned = 0;
  *plan = FieldPlan{word, info->firstField, count, kPlanFields | aligned};
}

inline void visitReferrer(BackTrace* bt, FieldPlan* plans, uint32_t h, uint32_t body,
                          uint32_t methods) {
  if (body == 0) return;
  const uint32_t type = methods & kTypeCodeMask;
  if (type == kTypeObjectArray) {
    if (body % 4 == 0) {
      addElementReferrers<true>(bt, h, body, methods);
    } else {
      addElementReferrers<false>(bt, h, body, methods);
    }
  } else if (type == kTypeObject) {
    // A plain object's methods word is aligned (its low bits are the type code, 0).
    const uint32_t word = vmRead32Aligned(methods + kMethodTableClass);
    FieldPlan* plan = &plans[planSlotOf(word)];
    if (plan->word != word || plan->kind == kPlanEmpty) {
      visitUnplanned(bt, plan, h, body, word);
    } else if (plan->kind == (kPlanFields | kPlanAligned) && body % 4 == 0) {
      addFieldReferrers<true>(bt, h, body, plan->firstField, plan->fieldCount);
    } else {
      addFieldReferrers<false>(bt, h, body, plan->firstField, plan->fieldCount);
    }
  }
}

}  // namespace

void getReferences(uint32_t stream, uint32_t h) {
  refreshHandleSpace();
  if (!isWritableStream(stream)) return;
  PtrList* list = listNew();
  int sorted = list != nullptr && collectOutgoing(list, h);
  writeAndFree(stream, list, sorted);
}

// A report that could not be completed for want of memory is written empty.
void getBackTraceReferences(uint32_t stream, uint32_t target) {
  HandleSpace space = beginHeapWalk();
  if (!isWritableStream(stream)) return;
  BackTrace bt = {target, hasEntry(target), space, listNew(), {}, 0, 0};
  FieldPlan* plans = static_cast<FieldPlan*>(calloc(kPlanSlots, sizeof(FieldPlan)));
  const int ready = bt.list != nullptr && plans != nullptr;
  if (classTableInit(&bt.classes, fieldIsReference, 0) && ready) {
    walkSlotsAhead(
        space,
        // The bodies the walk reads: a plain object's, an object array's elements.
        [](uint32_t body, uint32_t methods) {
          if ((methods & kTypeCodeMask & ~kTypeObjectArray) == 0) prefetchLine(body);
        },
        [&bt, plans](uint32_t h, uint32_t body, uint32_t methods) {
          visitReferrer(&bt, plans, h, body, methods);
        });
  }
  free(plans);
  if (!ready || bt.classes.failed) {
    freeEntries(bt.list);
    listDestroy(&bt.list);
  }
  classTableFree(&bt.classes);
  writeAndFree(stream, bt.list, 1);
}

}  // namespace tv
