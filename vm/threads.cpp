#include "vm/threads.h"

#include <stdlib.h>

#include <atomic>

#include "report/entry.h"
#include "vm/handles.h"
#include "vm/handlespace.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/services.h"

namespace tv {

namespace {

const char kThreadClass[] = "java/lang/Thread";

// Kept once found; a 0 result is looked up again on the next call. Any caller may fill it; all
// of them store the same handle.
std::atomic<uint32_t> gThreadClass{0};

uint32_t threadClassHandle() {
  uint32_t known = gThreadClass.load(std::memory_order_relaxed);
  if (known != 0) return known;
  known = FindClass(nullptr, kThreadClass, 1);
  gThreadClass.store(known, std::memory_order_relaxed);
  return known;
}

// The calling thread's own frames are in motion while we read them, so it is never scanned.
// The class is looked up afresh on every call and passed on as returned.
int isCallingThread(uint32_t thread) {
  uint32_t cls = FindClass(nullptr, kThreadClass, 1);
  uint32_t current = static_cast<uint32_t>(
      execute_java_static_method(nullptr, cls, "currentThread", "()Ljava/lang/Thread;"));
  return current == thread;
}

// A local slot holds a reference only if it looks like one: a slot address in the handle table
// whose body is not 0. Primitive values that happen to pass are taken as references too.
int isHandleLike(uint32_t v, HandleSpace space) {
  return (v & (kHandleSize - 1)) == 0 && v >= space.first && v < space.end && isLive(v);
}

// Returns 0 when an entry was lost for want of memory.
int collectFrameRefs(uint32_t frame, uint32_t method, HandleSpace space, PtrList* list) {
  uint32_t name = vmRead32(method + kMethodName);
  uint32_t count = vmRead16(method + kMethodLocalCount);
  uint32_t locals = vmRead32(frame + kFrameLocals);
  if (locals == 0) return 1;
  int complete = 1;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t v = vmRead32(locals + 4 * i);
    if (!isHandleLike(v, space)) continue;
    HeapEntry* e = makeEntry(v);
    if (e == nullptr) {
      // Only a primitive array or an array without an element class has no entry to make;
      // anything else was lost for want of memory.
      if (classOf(v) != 0) complete = 0;
      continue;
    }
    e->detailIsName = 1;
    e->detail = static_cast<int32_t>(name);
    e->methodSuffix = 1;
    if (!listPush(list, reinterpret_cast<uintptr_t>(e))) {
      free(e);
      complete = 0;
    }
  }
  return complete;
}

}  // namespace

int isThread(uint32_t h) {
  if (!isObject(h)) return 0;
  uint32_t threadClass = threadClassHandle();
  if (threadClass == 0) return 0;
  uint32_t c = classOf(h);
  for (int depth = 0; c != 0 && depth < kMaxClassDepth; depth++) {
    if (c == threadClass) return 1;
    c = superclassOf(c);
  }
  return 0;
}

namespace {

// `known`: bounds the caller computed for this same heap, or null to compute them here.
int scanStack(uint32_t thread, const HandleSpace* known, PtrList* list) {
  uint32_t body = handleBody(thread);
  if (body == 0) return 1;
  uint32_t block = vmRead32(body + kThreadBlock);
  if (isCallingThread(thread)) return 1;
  if (block == 0) return 1;
  uint32_t frame = vmRead32(block + kBlockInnermost);
  if (frame == 0) return 1;
  int complete = 1;
  HandleSpace space = known ? *known : heapBounds();
  // A frame list read while its thread runs may be caught mid-change; the bound ends a loop.
  for (int n = 0; frame != 0 && n < kMaxFrames; n++) {
    uint32_t method = vmRead32(frame + kFrameMethod);
    if (method != 0 && !collectFrameRefs(frame, method, space, list)) complete = 0;
    frame = vmRead32(frame + kFrameOuter);
  }
  return complete;
}

}  // namespace

void collectStackRefs(uint32_t thread, PtrList* list) { scanStack(thread, nullptr, list); }

int collectStackRefsIn(uint32_t thread, HandleSpace space, PtrList* list) {
  return scanStack(thread, &space, list);
}

}  // namespace tv
