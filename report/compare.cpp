#include "report/compare.h"

#include <stdint.h>
#include <string.h>

#include "report/entry.h"
#include "vm/memory.h"

namespace tv {

namespace {

// Each list item holds the address of a HeapEntry.
inline const HeapEntry* entryAt(const void* item) {
  return *static_cast<const HeapEntry* const*>(item);
}

// A missing name compares as the empty string.
inline const char* nameOrEmpty(uint32_t address) { return address ? vmString(address) : ""; }

int byName(const HeapEntry* a, const HeapEntry* b) {
  int r = strcmp(nameOrEmpty(a->className), nameOrEmpty(b->className));
  if (r != 0) return r;
  signed char ka = static_cast<signed char>(a->kind);
  signed char kb = static_cast<signed char>(b->kind);
  if (ka > kb) return 1;
  if (ka < kb) return -1;
  return 0;
}

int byDetail(const HeapEntry* a, const HeapEntry* b) {
  if (a->detail == b->detail) return byName(a, b);
  return a->detail > b->detail ? 1 : -1;
}

}  // namespace

int compareByName(const void* a, const void* b) { return byName(entryAt(a), entryAt(b)); }

int compareByCount(const void* a, const void* b) {
  const HeapEntry* ea = entryAt(a);
  const HeapEntry* eb = entryAt(b);
  if (ea->detail == eb->detail) return byName(ea, eb);
  return ea->detail > eb->detail ? -1 : 1;
}

int compareReferrers(const void* a, const void* b) {
  const HeapEntry* ea = entryAt(a);
  const HeapEntry* eb = entryAt(b);
  bool namedA = ea->detailIsName != 0;
  bool namedB = eb->detailIsName != 0;
  if (namedA != namedB) return namedA ? -1 : 1;
  int r = namedA ? strcmp(nameOrEmpty(static_cast<uint32_t>(ea->detail)),
                                    nameOrEmpty(static_cast<uint32_t>(eb->detail)))
                           : byDetail(ea, eb);
  return r != 0 ? r : byName(ea, eb);
}

}  // namespace tv
