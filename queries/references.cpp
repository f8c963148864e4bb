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

inline void addFieldReferrers(BackTrace* bt, uint32_t h, uint32_t body, const ClassInfo* info) {
  const FieldRef* fields = classFields(&bt->classes, info);
  const uint32_t count = info->fieldCount, target = bt->target;
  for (uint32_t i = 0; i < count; i++) {
    if (vmRead32(body + fields[i].offset) != target) continue;
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

inline void addElementReferrers(BackTrace* bt, uint32_t array, uint32_t body, uint32_t methods) {
  const uint32_t length = methods >> kLengthShift, target = bt->target;
  for (uint32_t i = 0; i < length; i++) {
    if (vmRead32(body + 4 * i) != target) continue;
    HeapEntry* e = makeEntry(array);
    if (e != nullptr) appendIndexed(bt->list, e, i);
  }
}

inline void visitReferrer(BackTrace* bt, uint32_t h, uint32_t body, uint32_t methods) {
  if (body == 0) return;
  uint32_t type = methods & kTypeCodeMask;
  if (type == kTypeObjectArray) {
    addElementReferrers(bt, h, body, methods);
  } else if (type == kTypeObject) {
    const ClassInfo* info = classInfoOf(&bt->classes, vmRead32(methods + kMethodTableClass));
    if (info == nullptr) return;  // the table failed: the report is dropped
    if (info->isClassClass) {
      addStaticReferrers(bt, h);
    } else if (info->cls != 0) {
      // An object whose class word leads to no class has no fields and is no thread.
      addFieldReferrers(bt, h, body, info);
      if (info->isThread) addStackReferrers(bt, h, info);
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
  if (bt.list != nullptr && classTableInit(&bt.classes, fieldIsReference, 0)) {
    walkSlots(space, [&bt, space](uint32_t h, uint32_t body, uint32_t methods) {
      prefetchBody(space, h);
      visitReferrer(&bt, h, body, methods);
    });
  }
  if (bt.list == nullptr || bt.classes.failed) {
    freeEntries(bt.list);
    listDestroy(&bt.list);
  }
  classTableFree(&bt.classes);
  writeAndFree(stream, bt.list, 1);
}

}  // namespace tv
