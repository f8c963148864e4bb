#include "vm/threads.h"

#include <atomic>

#include "vm/handles.h"
#include "vm/handlespace.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/services.h"

namespace tv {

namespace {

const char kThreadClass[] = "java/lang/Thread";

// Kept once found; a 0 result is looked up again on the next call.
// Any caller may fill it; all of them store the same handle.
std::atomic<uint32_t> gThreadClass{0};

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
int isHandleLike(uint32_t v, HandleSpace space) { return isSlotOf(space, v) && isLive(v); }

void scanFrame(uint32_t frame, uint32_t method, HandleSpace space, StackSlotVisitor visit,
               void* context) {
  uint32_t name = vmRead32(method + kMethodName);
  uint32_t count = vmRead16(method + kMethodLocalCount);
  uint32_t locals = vmRead32(frame + kFrameLocals);
  if (locals == 0) return;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t v = vmRead32(locals + 4 * i);
    if (isHandleLike(v, space)) visit(v, name, context);
  }
}

}  // namespace

uint32_t threadClassHandle(void) {
  uint32_t known = gThreadClass.load(std::memory_order_relaxed);
  if (known != 0) return known;
  known = FindClass(nullptr, kThreadClass, 1);
  gThreadClass.store(known, std::memory_order_relaxed);
  return known;
}

int isThread(uint32_t h) { return isObject(h) && chainIncludes(classOf(h), threadClassHandle()); }

void scanThreadStack(uint32_t thread, const HandleSpace* known, StackSlotVisitor visit,
                     void* context) {
  uint32_t body = handleBody(thread);
  if (body == 0) return;
  uint32_t block = vmRead32(body + kThreadBlock);
  if (isCallingThread(thread)) return;
  if (block == 0) return;
  uint32_t frame = vmRead32(block + kBlockInnermost);
  if (frame == 0) return;
  HandleSpace space = known ? *known : heapBounds();
  // A frame list read while its thread runs may be caught mid-change; the bound ends a loop.
  for (int n = 0; frame != 0 && n < kMaxFrames; n++) {
    uint32_t method = vmRead32(frame + kFrameMethod);
    if (method != 0) scanFrame(frame, method, space, visit, context);
    frame = vmRead32(frame + kFrameOuter);
  }
}

}  // namespace tv
