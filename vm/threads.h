// Thread objects and the objects held in the local-variable slots of their interpreter frames.
#pragma once
#include <stdint.h>
#include "vm/handlespace.h"

namespace tv {

// 1 when h is an object and java/lang/Thread is in its class chain (handle cached once found).
int isThread(uint32_t h);
// The handle of java/lang/Thread: looked up on first use, kept once non-zero.
uint32_t threadClassHandle(void);

// Receives one local slot of a scanned frame: its value and the address of the name of the
// frame's method.
typedef void (*StackSlotVisitor)(uint32_t value, uint32_t methodName, void* context);

// Hands every local slot of the thread's frames whose value looks like a handle (a multiple of
// 8 inside the handle space whose body is not 0) to `visit`, innermost frame first, each
// frame's slots in order. Primitive values that happen to look like a handle are handed over
// too. The calling thread's own stack is never scanned, and the frame walk is bounded, so a
// looping frame list ends the scan. `known` is the space a whole-heap walk already computed,
// or null to compute it here.
void scanThreadStack(uint32_t thread, const HandleSpace* known, StackSlotVisitor visit,
                     void* context);

constexpr int kMaxFrames = 1 << 16;

}  // namespace tv
