#include "queries/path/index.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "queries/heapwalk.h"

namespace tv {

namespace {

// Each pass reads the heap in one loop that only loads words and writes the links it finds,
// in order, into a small block; the block is applied to the index when full, in a loop of its
// own. Testing each word with a branch and updating the index in the same loop made the walk
// of an application-shaped heap two to three times as slow as the same loop summing the words:
// the branch on every null field guesses wrong, and each update (a load and a store at an
// address that depends on a word just read) holds up the loads after it.
constexpr uint32_t kBlockLinks = 1024;

// Links are offered in the heap's order but land all over the index. A link to a slot near its
// referrer goes straight in: the lines it touches were touched a moment ago. A far one would
// touch a line of inStart (and of in) far from the last, so far links are first sorted into
// small buffers by their target's bucket (2^shift consecutive slots, at most kMaxBuckets
// buckets) and applied a buffer at a time, while that bucket's lines are at hand. With 256
// links of 8 bytes a buffer, the buffers take at most 1 MB (2 bytes a slot once a heap has
// 1,024 slots), in a pass that holds 8 bytes a slot less than the search after it; they stay
// in the second-level cache of most machines (4 MB of them made a JDK dump's index slower).
constexpr uint32_t kMinBucketShift = 10;
constexpr uint32_t kMaxBuckets = 512;
constexpr uint32_t kBufferLinks = 256;
constexpr uint32_t kNearSlots = 1024;

struct PendingLink {
  uint32_t target;
  uint32_t value;  // the referrer's slot, tagged
};

struct Buckets {
  uint32_t shift;
  uint32_t count;
  uint32_t* filled;      // per bucket: links waiting
  PendingLink* pending;  // per bucket: kBufferLinks entries
};

// One pass over every link of the heap: count (inStart[t] += 1) or deal out (in[--inStart[t]]).
struct IndexPass {
  PathIndex* index;
  Buckets buckets;     // count 0: links are applied one by one
  PendingLink* block;  // kBlockLinks entries: links read, not yet applied
  uint32_t thread;     // the thread whose stack links are offered
};

template <bool kDealing>
inline void apply(PathIndex* index, uint32_t t, uint32_t value) {
  if (kDealing) {
    // A heap that changed between the passes must not make the runs underflow.
    if (index->inStart[t] != 0) index->in[--index->inStart[t]] = value;
  } else {
    index->inStart[t]++;
  }
}

// Applies a bucket's waiting links and empties its buffer.
template <bool kDealing>
[[gnu::noinline]] void flushLinks(PathIndex* index, const PendingLink* links, uint32_t* filled) {
  for (uint32_t i = 0; i < *filled; i++) apply<kDealing>(index, links[i].target, links[i].value);
  *filled = 0;
}

template <bool kDealing>
inline void offer(IndexPass* p, uint32_t t, uint32_t value) {
  // A link to a slot near its referrer lands near the last one applied: it goes straight in.
  const uint32_t from = value & kEdgeSlot;
  if (p->buckets.count == 0 || t - from + kNearSlots < 2 * kNearSlots) {
    apply<kDealing>(p->index, t, value);
    return;
  }
  uint32_t b = t >> p->buckets.shift;
  PendingLink* links = p->buckets.pending + static_cast<size_t>(b) * kBufferLinks;
  uint32_t* filled = &p->buckets.filled[b];
  links[(*filled)++] = PendingLink{t, value};
  if (*filled == kBufferLinks) flushLinks<kDealing>(p->index, links, filled);
}

// Applies the first n links of the block, as offer would one by one; what it consults is held
// in locals, which the stores to the index and the buffers could otherwise be changing. The
// counting pass leaves the referrers out of the block: it tells a near link from a far one by
// `from`, the slot being read when the block filled, which is near enough.
template <bool kDealing>
[[gnu::noinline]] void applyBlock(IndexPass* p, uint32_t n, uint32_t from) {
  const PendingLink* const block = p->block;
  PathIndex* const index = p->index;
  const Buckets buckets = p->buckets;
  for (uint32_t i = 0; i < n; i++) {
    const uint32_t t = block[i].target, value = kDealing ? block[i].value : from;
    if (buckets.count == 0 || t - (value & kEdgeSlot) + kNearSlots < 2 * kNearSlots) {
      apply<kDealing>(index, t, value);
      continue;
    }
    const uint32_t b = t >> buckets.shift;
    PendingLink* const links = buckets.pending + static_cast<size_t>(b) * kBufferLinks;
    uint32_t* const filled = &buckets.filled[b];
    const uint32_t k = *filled;
    links[k] = PendingLink{t, value};
    *filled = k + 1;
    if (k + 1 == kBufferLinks) flushLinks<kDealing>(index, links, filled);
  }
}

template <bool kDealing>
void offerStackLink(uint32_t t, void* context) {
  IndexPass* p = static_cast<IndexPass*>(context);
  offer<kDealing>(p, t, p->thread | kStackEdge);
}

// The slot that the word w names (graphSlot), but a number at or above the slot count for a
// word that names none. With the table's first slot at a non-zero multiple of 8 (indexBuild
// asks for one) that takes a rotation: a word that is 0, not a multiple of 8 or outside the
// table rotates to at least the slot count, since slot indices stay below 2^29.
inline uint32_t wordSlot(uint32_t first, uint32_t w) {
  const uint32_t offset = w - first;
  return (offset >> 3) | (offset << 29);
}

// Writes the links among `count` words of a plain object (kArray false: at the offsets of
// `fields`) or of an object array (kArray true: its elements) into the block from position n,
// applying the block whenever it fills; returns the new position. The word is written whether
// or not it is a link, and the position moves on only for a link: no branch depends on a word.
template <bool kDealing, bool kArray>
inline uint32_t readWords(IndexPass* p, uint32_t first, uint32_t slots, uint32_t n, uint32_t from,
                          uint32_t body, const FieldRef* fields, uint32_t count) {
  PendingLink* const block = p->block;
  for (uint32_t i = 0; i < count; i++) {
    if (n == kBlockLinks) {
      applyBlock<kDealing>(p, n, from);
      n = 0;
    }
    const uint32_t t = wordSlot(first, vmRead32(body + (kArray ? 4 * i : fields[i].offset)));
    block[n].target = t;
    if (kDealing) block[n].value = from;
    n += t < slots;
  }
  return n;
}

// Offers every link of the heap: the links forEachFieldLink and forEachStackLink offer
// (graph.h), one by one for a class object's statics and a thread's stack, and for plain
// objects and arrays read by readWords in the same order. The loop keeps what it consults in
// locals (see vmRead32). Compiled for each pass: the test of which pass it is would otherwise
// sit in the loop over words.
template <bool kDealing>
void walkLinks(const PathGraph* g, IndexPass* p) {
  const HandleSpace space = g->space;
  const uint32_t slots = g->slots;
  ClassTable* const classes = g->classes;
  uint32_t n = 0;
  uint32_t h = space.first;
  for (uint32_t from = 0; from < slots; from++, h += kHandleSize) {
    prefetchBody(space, h);
    // The body word first (see walkSlots).
    const uint32_t body = vmRead32(h + kHandleBody);
    const uint32_t methods = vmRead32(h + kHandleMethods);
    const SlotView v = viewSlotWords(g, body, methods);
    if (v.kind == kSlotObject) {
      if (v.info != nullptr && v.info->cls != 0)
        n = readWords<kDealing, false>(p, space.first, slots, n, from, v.body,
                                       classFields(classes, v.info), v.info->fieldCount);
      if (v.info != nullptr && v.info->isThread) {
        p->thread = from;
        forEachStackLink(g, h, offerStackLink<kDealing>, p);
      }
    } else if (v.kind == kSlotArray) {
      // The counting pass also looks up every object array's element class, so that with the
      // plain objects' classes (looked up by viewSlotWords) the table knows every class of
      // the heap.
      if (!kDealing) classInfoOf(classes, classWordOf(body, methods));
      n = readWords<kDealing, true>(p, space.first, slots, n, from, v.body, nullptr,
                                    v.methods >> kLengthShift);
    } else if (v.kind == kSlotClassObject) {
      forEachFieldLink(g, h, v, [p, from](uint32_t t) {
        offer<kDealing>(p, t, from);
        return false;
      });
    }
  }
  applyBlock<kDealing>(p, n, slots);
  for (uint32_t b = 0; b < p->buckets.count; b++)
    flushLinks<kDealing>(p->index, p->buckets.pending + static_cast<size_t>(b) * kBufferLinks,
                         &p->buckets.filled[b]);
}

// Buffers for a heap of `slots`; without memory for them the links are applied one by one.
Buckets bucketsFor(uint32_t slots) {
  Buckets b = {kMinBucketShift, 0, nullptr, nullptr};
  while ((static_cast<uint64_t>(slots) >> b.shift) >= kMaxBuckets) b.shift++;
  uint32_t count =
      static_cast<uint32_t>((static_cast<uint64_t>(slots) + (1u << b.shift) - 1) >> b.shift);
  b.filled = static_cast<uint32_t*>(calloc(count ? count : 1, sizeof(uint32_t)));
  b.pending = static_cast<PendingLink*>(
      malloc(static_cast<size_t>(count ? count : 1) * kBufferLinks * sizeof(PendingLink)));
  if (b.filled == nullptr || b.pending == nullptr) {
    free(b.filled);
    free(b.pending);
    return Buckets{kMinBucketShift, 0, nullptr, nullptr};
  }
  b.count = count;
  return b;
}

void passFree(IndexPass* p) {
  free(p->buckets.filled);
  free(p->buckets.pending);
  free(p->block);
  *p = IndexPass{};
}

}  // namespace

int indexBuild(PathIndex* index, const PathGraph* g) {
  *index = PathIndex{};
  const uint32_t slots = g->slots;
  // The loops over words need it (wordSlot); a table whose slots are not multiples of 8 holds
  // no handle the library accepts, and is left to the walking search.
  if (g->space.first == 0 || g->space.first % kHandleSize != 0) return 0;
  index->inStart = static_cast<uint32_t*>(calloc(static_cast<size_t>(slots) + 1, sizeof(uint32_t)));
  IndexPass pass = {index, bucketsFor(slots),
                    static_cast<PendingLink*>(malloc(kBlockLinks * sizeof(PendingLink))), 0};
  if (index->inStart == nullptr || pass.block == nullptr) {
    passFree(&pass);
    indexFree(index);
    return 0;
  }
  walkLinks<false>(g, &pass);
  // inStart[t] becomes the end of t's run; dealing counts each back down to its start.
  uint64_t sum = 0;
  for (uint32_t t = 0; t < slots; t++) {
    sum += index->inStart[t];
    index->inStart[t] = static_cast<uint32_t>(sum);
  }
  if (g->classes->failed || sum > UINT32_MAX - 1 || sum > SIZE_MAX / sizeof(uint32_t)) {
    passFree(&pass);
    indexFree(index);
    return 0;
  }
  index->edges = static_cast<uint32_t>(sum);
  index->inStart[slots] = index->edges;
  // Zeroed: when the heap changed between the passes, a run the second pass did not fill holds
  // slot 0, never a word from outside the table.
  index->in = static_cast<uint32_t*>(calloc(index->edges ? index->edges : 1, sizeof(uint32_t)));
  if (index->in == nullptr) {
    passFree(&pass);
    indexFree(index);
    return 0;
  }
  walkLinks<true>(g, &pass);
  passFree(&pass);
  return 1;
}

void indexFree(PathIndex* index) {
  free(index->inStart);
  free(index->in);
  *index = PathIndex{};
}

}  // namespace tv
