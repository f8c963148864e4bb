// Memory held by the instances of each class: instance sizes plus the arrays they own.
//
// Report:  count NUL (className ' ' instances ' ' bytes NUL)*
//   instances and bytes in signed decimal; bytes is 64-bit.
#include "queries/usage.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "queries/classplan.h"
#include "queries/heapwalk.h"
#include "report/writer.h"
#include "support/ptrlist.h"
#include "vm/handles.h"
#include "vm/strings.h"
#include "vm/services.h"

namespace tv {

namespace {

constexpr int64_t kArrayHeader = 16;

// Bytes per element by array type code; 0 where the code names no array type.
const uint8_t kElementSizes[32] = {
    4, 0, 4, 0,  // object, -, object array, -
    1, 2, 4, 8,  // boolean, char, float, double
    1, 2, 4, 8,  // byte, short, int, long
};

// What a class's plan says for this query (ClassPlan::query).
constexpr int32_t kUndecided = 0;
constexpr int32_t kCounted = 1;
constexpr int32_t kSkipped = 2;

int64_t arrayCharge(uint32_t array) {
  uint32_t code = arrayTypeCode(array);
  uint32_t size = elementSize(code);
  if (size == 0) {
    printf("computeSize - unknown array type %x\n", code);
    fflush(stdout);
    return kArrayHeader;
  }
  return kArrayHeader + static_cast<int64_t>(arrayLength(array)) * size;
}

const char* nameOrEmpty(uint32_t cls) {
  const char* name = className(cls);
  return name != nullptr ? name : "";
}

struct UsageWalk {
  PtrMap* usage;    // class handle -> UsageEntry
  PtrMap* charged;  // the arrays charged so far, each its own value
  PlanCache plans;  // the instance array fields of each class met
  uint32_t classClass;
  const char* prefix;
  size_t prefixLength;
};

// Class objects are not counted, nor classes without a name or outside the prefix.
int32_t decide(const UsageWalk* w, uint32_t c) {
  if (c == w->classClass) return kSkipped;
  const char* name = className(c);
  if (name == nullptr || strncmp(name, w->prefix, w->prefixLength) != 0) return kSkipped;
  return kCounted;
}

// An array is charged to the first counted instance that holds it in an instance array field.
void chargeInstance(UsageWalk* w, uint32_t h, ClassPlan* plan) {
  int64_t size = plan->instanceSize;
  for (int32_t i = 0; i < plan->count; i++) {
    uint32_t v = plannedValue(h, &plan->fields[i]);
    if (!isLive(v) || mapContains(w->charged, static_cast<int32_t>(v))) continue;
    // An array that cannot be remembered is not charged, so it is never charged twice.
    if (!mapPut(w->charged, static_cast<int32_t>(v), v)) continue;
    size += arrayCharge(v);
  }
  UsageEntry* e = static_cast<UsageEntry*>(plan->queryData);
  if (e != nullptr) {
    e->count++;
    e->bytes += size;
  } else {
    plan->queryData = recordUsage(w->usage, classOf(h), size);
    if (plan->queryData == nullptr) w->plans.failed = 1;
  }
}

void visitInstance(uint32_t h, void* context) {
  UsageWalk* w = static_cast<UsageWalk*>(context);
  if (!isObject(h)) return;
  ClassPlan* plan = planOf(&w->plans, h);
  if (plan == nullptr) return;  // no class, or no memory (then the report is written empty)
  if (plan->query == kUndecided) plan->query = decide(w, classOf(h));
  if (plan->query == kCounted) chargeInstance(w, h, plan);
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

// The entries are freed through the map rather than the list, so none is lost if the list
// could not take them all.
void freeUsageEntries(PtrMap* usage) {
  for (int32_t b = 0; b < usage->size; b++)
    for (PtrMapNode* node = usage->buckets[b]; node != nullptr; node = node->next)
      free(reinterpret_cast<UsageEntry*>(node->value));
}

// Walks the heap and writes the report; returns 0, writing nothing, when memory ran out.
int reportUsage(uint32_t stream, HandleSpace space, UsageWalk* w) {
  walkHandleSpace(space, visitInstance, w);
  if (w->plans.failed) return 0;
  PtrList* list = listNew();
  int ok = list != nullptr && mapValuesInto(w->usage, list);
  if (ok) {
    listSort(list, compareUsage);
    writeUsageList(stream, list);
  }
  listDestroy(&list);
  return ok;
}

}  // namespace

uint32_t elementSize(uint32_t typeCode) {
  return typeCode < 32 ? kElementSizes[typeCode] : 0;
}

UsageEntry* recordUsage(PtrMap* usage, uint32_t cls, int64_t size) {
  UsageEntry* e = reinterpret_cast<UsageEntry*>(mapFind(usage, static_cast<int32_t>(cls)));
  if (e != nullptr) {
    e->count++;
    e->bytes += size;
    return e;
  }
  e = static_cast<UsageEntry*>(malloc(sizeof *e));
  if (e == nullptr) return nullptr;
  *e = UsageEntry{cls, 1, size};
  if (mapPut(usage, static_cast<int32_t>(cls), reinterpret_cast<uintptr_t>(e))) return e;
  free(e);
  return nullptr;
}

int compareUsage(const void* a, const void* b) {
  const UsageEntry* x = *static_cast<const UsageEntry* const*>(a);
  const UsageEntry* y = *static_cast<const UsageEntry* const*>(b);
  if (x->bytes != y->bytes) return x->bytes > y->bytes ? -1 : 1;
  if (x->count != y->count) return x->count > y->count ? -1 : 1;
  return strcmp(nameOrEmpty(x->classHandle), nameOrEmpty(y->classHandle));
}

// A stream that is no live object gets nothing. A prefix that is no string, or a query that
// runs out of memory, gets an empty report.
void getMemoryUsage(uint32_t stream, uint32_t prefix) {
  HandleSpace space = beginHeapWalk();
  if (!isWritableStream(stream)) return;
  const char* cprefix = javaStringBytes(prefix);
  UsageWalk w = {mapNew(), mapNew(), {}, FindClass(nullptr, "java/lang/Class", 1), cprefix,
                 cprefix != nullptr ? strlen(cprefix) : 0};
  int ready = cprefix != nullptr && w.usage != nullptr && w.charged != nullptr &&
              planCacheInit(&w.plans, fieldIsArray);
  if (!ready || !reportUsage(stream, space, &w)) {
    writeDecimal(stream, 0);
    writeByte(stream, 0);
  }
  if (w.usage != nullptr) freeUsageEntries(w.usage);
  planCacheFree(&w.plans);
  mapDestroy(&w.usage);
  mapDestroy(&w.charged);
}

}  // namespace tv
