#include "queries/path_refclasses.h"

#include "queries/heapwalk.h"
#include "vm/handles.h"
#include "vm/services.h"

namespace tv {

namespace {

PtrMap* g_referenceClasses = nullptr;

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
  if (g_referenceClasses == nullptr) g_referenceClasses = mapNew();
  if (g_referenceClasses == nullptr) {
    scan->failed = 1;
    return 0;
  }
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
  if (hasReferenceAncestor(c, scan->referenceClass) && !mapPut(g_referenceClasses, key, c))
    scan->failed = 1;
}

int refScanEnd(RefClassScan* scan) {
  mapDestroy(&scan->checked);
  return !scan->failed;
}

int registerReferenceClasses(HandleSpace space) {
  RefClassScan scan;
  if (refScanBegin(&scan)) walkHandleSpace(space, noteSlot, &scan);
  return refScanEnd(&scan);
}

int isReferenceInstance(uint32_t v) {
  uint32_t c = classOf(v);
  return c != 0 && g_referenceClasses != nullptr &&
         mapContains(g_referenceClasses, static_cast<int32_t>(c));
}

}  // namespace tv
