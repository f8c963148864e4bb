#include "support/cache_lock.h"

#include <mutex>

namespace tv {

namespace {
std::mutex g_cacheLock;
}

void cacheLock(void) { g_cacheLock.lock(); }
void cacheUnlock(void) { g_cacheLock.unlock(); }

}  // namespace tv
