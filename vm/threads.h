// Thread objects and the objects held in the local-variable slots of their interpreter frames.
#pragma once
#include <stdint.h>
#include "support/ptrlist.h"
#include "vm/handlespace.h"

namespace tv {

// 1 when h is an object and java/lang/Thread is in its class chain (handle cached once found).
int isThread(uint32_t h);

// Appends one HeapEntry (named after the frame's method, with "()") per local slot whose value
// is a live handle in the handle space. The calling thread's own stack is never scanned. The
// frame walk is bounded, so a looping frame list ends the scan.
void collectStackRefs(uint32_t thread, PtrList* list);
// The same scan within bounds the caller computed for this heap: a query that scans every
// thread in one walk need not probe the table again for each. Returns 0 when an entry was lost
// for want of memory, so that a query can fail instead of answering from a partial stack.
int collectStackRefsIn(uint32_t thread, HandleSpace space, PtrList* list);

constexpr int kMaxFrames = 1 << 16;

}  // namespace tv
