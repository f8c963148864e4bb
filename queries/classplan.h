// What a whole-heap query reads from every instance of a class, gathered once per class.
//
// A ClassPlan lists the instance fields of a class chain that pass the query's filter, in the
// order a field scan visits them (own class first, each FieldEntry table in order), with each
// field's byte offset in the body and its name; and says whether the class is a thread. Reading
// a field of an object through its plan gives the same word as fieldInstanceValue, without
// walking the chain and its tables again for every object.
//
// Ownership: a PlanCache owns its plans (keyed by class handle) and frees them in planCacheFree.
// `query` and `queryData` belong to the query; the cache never reads or frees them.
#pragma once
#include <stdint.h>

#include "support/ptrmap.h"

namespace tv {

struct FieldRef {
  uint32_t offset;  // byte offset of the value within an instance's body
  uint32_t name;    // address of the field's name
};

struct ClassPlan {
  int32_t isThread;  // java/lang/Thread is in the class chain
  uint32_t instanceSize;  // of the class itself
  int32_t count;     // fields selected
  FieldRef* fields;
  int32_t query;     // 0 when the plan is new; the query's own per-class state otherwise
  void* queryData;
};

typedef int (*FieldFilter)(uint32_t entry);  // 1 to select a non-static field

struct PlanCache {
  PtrMap* plans;
  FieldFilter filter;
  int failed;  // an allocation failed: the query's result is incomplete
};

int planCacheInit(PlanCache* cache, FieldFilter filter);  // 0 when allocation fails
// The plan of classOf(h) for a plain object h; null when h has no class or allocation failed.
ClassPlan* planOf(PlanCache* cache, uint32_t h);
void planCacheFree(PlanCache* cache);

// The value of a planned field in object h.
uint32_t plannedValue(uint32_t h, const FieldRef* field);

}  // namespace tv
