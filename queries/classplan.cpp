#include "queries/classplan.h"

#include <stdlib.h>

#include "vm/handles.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/threads.h"

namespace tv {

namespace {

// Visits the selected fields of the chain of c in scan order; returns how many there are.
// With `out` null it only counts.
int32_t selectFields(uint32_t c, FieldFilter filter, FieldRef* out) {
  int32_t n = 0;
  for (int depth = 0; c != 0 && depth < kMaxClassDepth; depth++, c = superclassOf(c)) {
    uint32_t count = classFieldCount(c);
    for (uint32_t i = 0; i < count; i++) {
      uint32_t entry = classFieldEntry(c, i);
      if (fieldIsStatic(entry) || !filter(entry)) continue;
      if (out) out[n] = FieldRef{vmRead32(entry + kFieldValue), fieldNameAddress(entry)};
      n++;
    }
  }
  return n;
}

ClassPlan* newPlan(uint32_t h, uint32_t c, FieldFilter filter) {
  ClassPlan* plan = static_cast<ClassPlan*>(calloc(1, sizeof(ClassPlan)));
  if (plan == nullptr) return nullptr;
  plan->isThread = isThread(h);
  plan->instanceSize = classInstanceSize(c);
  plan->count = selectFields(c, filter, nullptr);
  if (plan->count > 0) {
    plan->fields = static_cast<FieldRef*>(malloc(sizeof(FieldRef) * plan->count));
    if (plan->fields == nullptr) {
      free(plan);
      return nullptr;
    }
    selectFields(c, filter, plan->fields);
  }
  return plan;
}

}  // namespace

int planCacheInit(PlanCache* cache, FieldFilter filter) {
  cache->plans = mapNew();
  cache->filter = filter;
  cache->failed = cache->plans == nullptr;
  return !cache->failed;
}

ClassPlan* planOf(PlanCache* cache, uint32_t h) {
  uint32_t c = classOf(h);
  if (c == 0) return nullptr;
  ClassPlan* plan = reinterpret_cast<ClassPlan*>(mapFind(cache->plans, static_cast<int32_t>(c)));
  if (plan != nullptr) return plan;
  plan = newPlan(h, c, cache->filter);
  if (plan != nullptr && mapPut(cache->plans, static_cast<int32_t>(c), reinterpret_cast<uintptr_t>(plan)))
    return plan;
  if (plan != nullptr) {
    free(plan->fields);
    free(plan);
  }
  cache->failed = 1;
  return nullptr;
}

void planCacheFree(PlanCache* cache) {
  if (cache->plans == nullptr) return;
  for (int32_t b = 0; b < cache->plans->size; b++) {
    for (PtrMapNode* node = cache->plans->buckets[b]; node != nullptr; node = node->next) {
      ClassPlan* plan = reinterpret_cast<ClassPlan*>(node->value);
      free(plan->fields);
      free(plan);
    }
  }
  mapDestroy(&cache->plans);
}

// The body word is read once per field and checked: a running VM may free the slot (body 0)
// after the walk found it live, or move its body (any copy is a state the object had).
uint32_t plannedValue(uint32_t h, const FieldRef* field) {
  uint32_t body = handleBody(h);
  return body ? vmRead32(body + field->offset) : 0;
}

}  // namespace tv
