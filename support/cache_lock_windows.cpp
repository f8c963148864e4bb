#include "support/cache_lock.h"

#include <windows.h>

namespace tv {

namespace {
SRWLOCK g_cacheLock = SRWLOCK_INIT;  // needs no set-up and no clean-up
}

void cacheLock(void) { AcquireSRWLockExclusive(&g_cacheLock); }
void cacheUnlock(void) { ReleaseSRWLockExclusive(&g_cacheLock); }

}  // namespace tv
