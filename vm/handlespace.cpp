#include "vm/handlespace.h"

#include <stdio.h>
#include <stdlib.h>

#include "vm/accepted_space.h"
#include "vm/guarded_read.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/services.h"

namespace tv {

// The space the handle predicates accept. Empty until a query installs one.
HandleSpace g_acceptedSpace = {0, 0};

namespace {

constexpr uint32_t kPageSize = 4096;

// The start found by the last probe, and the end it was probed from. A query that describes
// one handle reuses it instead of probing the whole table again.
uint32_t g_probedEnd = 0;
uint32_t g_probedFirst = 0;
int g_haveProbe = 0;

// Set by refreshHandleSpace: a handle below the known start may mean the table grew downward,
// so the probe goes on below the known start before the handle is refused.
int g_mayExtendDown = 0;

// The handle table ends kAnchorDistance bytes below the descriptor of the anchor class.
// Returns 0 when the VM does not know the anchor class.
int anchoredEnd(uint32_t* end) {
  uint32_t anchor = FindClass(nullptr, kAnchorClass, 1);
  if (anchor == 0) return 0;
  *end = vmRead32(anchor + kHandleBody) - kAnchorDistance;
  return 1;
}

constexpr int kBatch = kGuardedBatch;  // keeps the probe under 8 KB of the Java thread's stack

// Continues the probe downward from `first`: the lowest slot below it whose methods word, and
// every one between, can be read. Readability is decided per page, so one guarded read of the
// highest unproven word of each page answers for all the slots whose methods word lies there.
uint32_t probeDownFrom(uint32_t first) {
  for (;;) {
    uint32_t words[kBatch];
    uint32_t lowest[kBatch];  // the start, once words[0..i] are known readable
    int n = 0;
    for (uint32_t f = first; n < kBatch && f >= kHandleSize; n++) {
      uint32_t word = f - kHandleSize + kHandleMethods;
      uint32_t page = word & ~(kPageSize - 1);
      // Slots f-8, f-16, ... down to the lowest whose methods word is still in `page`, and
      // never below address 0.
      uint32_t drop = kHandleSize * (1 + (word - page) / kHandleSize);
      if (drop > f - f % kHandleSize) drop = f - f % kHandleSize;
      f -= drop;
      words[n] = word;
      lowest[n] = f;
    }
    if (n == 0) return first;
    uint32_t values[kBatch];
    int readable = readableRun(words, n, values);
    if (readable > 0) first = lowest[readable - 1];
    if (readable < n) return first;
  }
}

void remember(HandleSpace space) {
  g_probedEnd = space.end;
  g_probedFirst = space.first;
  g_haveProbe = 1;
}

}  // namespace

int guardedRead32(uint32_t address, uint32_t* out) { return readableRun(&address, 1, out); }

void fatal(const char* message) {
  printf("fatal - %s\n", message);
  fflush(stdout);
  exit(-1);
}

uint32_t findHeapEnd(void) {
  uint32_t end;
  if (!anchoredEnd(&end)) fatal("couldn't find the first class\n");
  return end;
}

uint32_t probeHeapStart(uint32_t end) { return probeDownFrom(end); }

HandleSpace heapBounds(void) {
  HandleSpace space;
  space.end = findHeapEnd();
  space.first = probeHeapStart(space.end);
  return space;
}

void useHandleSpace(HandleSpace space) {
  g_acceptedSpace = space;
  g_mayExtendDown = 0;
  remember(space);
}

int refreshHandleSpace(void) {
  uint32_t end;
  if (!anchoredEnd(&end)) {
    g_acceptedSpace.first = g_acceptedSpace.end = 0;
    g_mayExtendDown = 0;
    return 0;
  }
  // The known start is trusted only while its slot can still be read (one guarded read);
  // a table that moved or shrank is probed again.
  uint32_t word;
  if (!g_haveProbe || g_probedEnd != end ||
      (g_probedFirst != end && !guardedRead32(g_probedFirst + kHandleMethods, &word))) {
    remember({probeHeapStart(end), end});
  }
  g_acceptedSpace.first = g_probedFirst;
  g_acceptedSpace.end = end;
  g_mayExtendDown = 1;
  return 1;
}

int handleInSpace(uint32_t h) {
  if (h % kHandleSize != 0 || h >= g_acceptedSpace.end) return 0;
  if (h >= g_acceptedSpace.first) return 1;
  if (!g_mayExtendDown) return 0;
  uint32_t first = probeDownFrom(g_acceptedSpace.first);
  if (first != g_acceptedSpace.first) {
    g_acceptedSpace.first = first;
    g_probedFirst = first;
  }
  g_mayExtendDown = 0;  // below the start after a fresh probe: no need to look again
  return h >= g_acceptedSpace.first;
}

}  // namespace tv
