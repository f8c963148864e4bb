#include "queries/path/refclasses.h"

#include "support/cache_lock.h"
#include "support/ptrmap.h"

namespace tv {

namespace {
// Calls running at once share the set; the lock is held only while one call's table is synced
// with it, which calls nothing of the VM's.
PtrMap* g_referenceClasses = nullptr;
}  // namespace

int syncReferenceClasses(ClassTable* classes) {
  CacheLockScope lock;
  if (g_referenceClasses == nullptr) g_referenceClasses = mapNew();
  if (g_referenceClasses == nullptr) return 0;
  int ok = 1;
  for (uint32_t i = 0; i < classes->count; i++) {
    ClassInfo* info = &classes->infos[i];
    if (info->cls == 0) continue;
    int32_t key = static_cast<int32_t>(info->cls);
    if (mapContains(g_referenceClasses, key)) {
      info->isReference = 1;
    } else if (info->isReference && !mapPut(g_referenceClasses, key, info->cls)) {
      ok = 0;
    }
  }
  return ok;
}

}  // namespace tv
