#include "vm/handlespace.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#include "vm/accepted_space.h"
#include "vm/guarded_read.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/services.h"

namespace tv {

// The space the handle predicates accept. Empty until a query installs one.
std::atomic<uint32_t> g_acceptedFirst{0};
std::atomic<uint32_t> g_acceptedEnd{0};

namespace {

constexpr uint32_t kPageSize = 4096;

// The start found by the last probe, and the end it was probed from. A query that describes
// one handle reuses it instead of probing the whole table again. Shared by all callers, as the
// accepted space is; one 64-bit word keeps the start with the end it belongs to (0: no probe).
std::atomic<uint64_t> g_probe{0};

uint64_t probeWord(HandleSpace space) { return (uint64_t(space.end) << 32) | space.first; }

// Set by refreshHandleSpace: a handle below the known start may mean the table grew downward,
// so the probe goes on below the known start before the handle is refused. Shared: whichever
// call set it last decides whether a stray low handle costs a probe, never what is answered.
std::atomic<int> g_mayExtendDown{0};

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
// What the system tells of the pages serves this probe's batches, and no later probe.
uint32_t probeDownFrom(uint32_t first) {
  PageRuns runs;
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
    int readable = readableRunIn(runs, words, n, values);
    if (readable > 0) first = lowest[readable - 1];
    if (readable < n) return first;
  }
}

void remember(HandleSpace space) { g_probe.store(probeWord(space), std::memory_order_relaxed); }

}  // namespace

int guardedRead32(uint32_t address, uint32_t* out) { return readableRun(&address, 1, out); }

void fatal(const char* message) {
  printf("fatal - %s\n", message);
  fflush(stdout);
  exit(-1);
}

uint32_t findHeapEnd(void) {
  uint32_t end;
  // The message ends in a newline of its own, so the line is followed by an empty one: the
  // text is kept byte for byte, since whatever watches the VM's output may match it.
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
  g_acceptedFirst.store(space.first, std::memory_order_relaxed);
  g_acceptedEnd.store(space.end, std::memory_order_relaxed);
  g_mayExtendDown.store(0, std::memory_order_relaxed);
  remember(space);
}

int refreshHandleSpace(void) {
  uint32_t end;
  if (!anchoredEnd(&end)) {
    g_acceptedFirst.store(0, std::memory_order_relaxed);
    g_acceptedEnd.store(0, std::memory_order_relaxed);
    g_mayExtendDown.store(0, std::memory_order_relaxed);
    return 0;
  }
  // The known start is trusted only while its slot can still be read (one guarded read);
  // a table that moved or shrank is probed again.
  uint64_t probe = g_probe.load(std::memory_order_relaxed);
  uint32_t probedFirst = static_cast<uint32_t>(probe);
  uint32_t word;
  if (probe == 0 || static_cast<uint32_t>(probe >> 32) != end ||
      (probedFirst != end && !guardedRead32(probedFirst + kHandleMethods, &word))) {
    probedFirst = probeHeapStart(end);
    remember({probedFirst, end});
  }
  g_acceptedFirst.store(probedFirst, std::memory_order_relaxed);
  g_acceptedEnd.store(end, std::memory_order_relaxed);
  g_mayExtendDown.store(1, std::memory_order_relaxed);
  return 1;
}

int handleInSpace(uint32_t h) {
  uint32_t end = g_acceptedEnd.load(std::memory_order_relaxed);
  uint32_t known = g_acceptedFirst.load(std::memory_order_relaxed);
  if (!isSlotOf({0, end}, h)) return 0;
  if (h >= known) return 1;
  if (!g_mayExtendDown.load(std::memory_order_relaxed)) return 0;
  uint32_t first = probeDownFrom(known);
  if (first != known) {
    g_acceptedFirst.store(first, std::memory_order_relaxed);
    remember({first, end});
  }
  g_mayExtendDown.store(
      0, std::memory_order_relaxed);  // below the start after a fresh probe: no need to look again
  return h >= first;
}

}  // namespace tv
