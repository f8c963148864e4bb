#include "queries/path_refclasses.h"

#include <mutex>

#include "queries/heapwalk.h"
#include "vm/handles.h"
#include "vm/services.h"

namespace tv {

namespace {

// The classes every pass so far has found. The lock guards the copies into and out of it
// only; nothing under it calls the VM.
PtrMap* g_referenceClasses = nullptr;
std::mutex g_referenceLock;

// Adds every class of `from` to `to`; 0 when an allocation failed.
int addAll(const PtrMap* from, PtrMap* to) {
  int ok = 1;
  for (int32_t b = 0; b < from->size; b++)
    for (const PtrMapNode* n = from->buckets[b]; n != nullptr; n = n->next)
      if (!mapContains(to, n->key) && !mapPut(to, n->key, n->value)) ok = 0;
  return ok;
}

int hasReferenceAncestor(uint32_t c, uint32_t referenceClass) {
  // The chain starts above c: Reference itself is not a Reference subclass.
  uint32_t s = superclassOf(c);
  for (int depth = 0; s != 0 && depth < kMaxClassDepth; depth++, s = superclassOf(s))
    if (s == referenceClass) return 1;
  return 0;
}

void noteSlot(uint32_t h, void* context) {
  refScanNote(static_cast<RefClassScan*>(context), classOf(h));
}

}  // namespace

int refScanBegin(RefClassScan* scan) {
  scan->referenceClass = FindClass(nullptr, "java/lang/ref/Reference", 1);
  scan->lastChecked = 0;
  scan->failed = 0;
  scan->checked = nullptr;
  scan->found = mapNew();
  if (scan->found == nullptr) {
    scan->failed = 1;
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(g_referenceLock);
    if (g_referenceClasses != nullptr && !addAll(g_referenceClasses, scan->found)) scan->failed = 1;
  }
  if (scan->failed) return 0;
  if (scan->referenceClass == 0) return 1;  // nothing to look for; nothing needs remembering
  scan->checked = mapNew();
  if (scan->checked == nullptr) scan->failed = 1;
  return !scan->failed;
}

void refScanNote(RefClassScan* scan, uint32_t c) {
  if (c == 0 || c == scan->lastChecked || scan->checked == nullptr) return;
  scan->lastChecked = c;
  int32_t key = static_cast<int32_t>(c);
  if (mapContains(scan->checked, key)) return;
  if (!mapPut(scan->checked, key, c)) {
    scan->failed = 1;
    return;
  }
  if (hasReferenceAncestor(c, scan->referenceClass) && !mapContains(scan->found, key) &&
      !mapPut(scan->found, key, c))
    scan->failed = 1;
}

int refScanEnd(RefClassScan* scan) {
  mapDestroy(&scan->checked);
  if (scan->found != nullptr) {
    std::lock_guard<std::mutex> lock(g_referenceLock);
    if (g_referenceClasses == nullptr) g_referenceClasses = mapNew();
    if (g_referenceClasses == nullptr || !addAll(scan->found, g_referenceClasses)) scan->failed = 1;
  }
  return !scan->failed;
}

void refScanFree(RefClassScan* scan) { mapDestroy(&scan->found); }

int registerReferenceClasses(HandleSpace space) {
  RefClassScan scan;
  if (refScanBegin(&scan)) walkHandleSpace(space, noteSlot, &scan);
  int ok = refScanEnd(&scan);
  refScanFree(&scan);
  return ok;
}

int isReferenceInstance(const RefClassScan* scan, uint32_t v) {
  uint32_t c = classOf(v);
  return c != 0 && scan->found != nullptr && mapContains(scan->found, static_cast<int32_t>(c));
}

}  // namespace tv
