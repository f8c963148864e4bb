#include "queries/path/index.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "queries/heapwalk.h"

namespace tv {

namespace {

// Links are offered in the heap's order but land all over the index. A link to a slot near its
// referrer goes straight in: the lines it touches were touched a moment ago. A far one would
// touch a line of inStart (and of in) far from the last, so far links are first sorted into
// small buffers by their target's bucket (2^shift consecutive slots, at most kMaxBuckets
// buckets) and applied a buffer at a time, while that bucket's lines are at hand. With 256
// links of 8 bytes a buffer, the buffers take at most 4 MB (2 bytes a slot once a heap has
// 1,024 slots), in a pass that holds 8 bytes a slot less than the search after it.
constexpr uint32_t kMinBucketShift = 10;
constexpr uint32_t kMaxBuckets = 2048;
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
  uint64_t links;   // counted so far
  uint32_t from;    // the slot whose links are offered
  Buckets buckets;  // count 0: links are applied one by one
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

// Applies a bucket's waiting links and empties its buffer. Kept out of line: inlined into the
// walk's loop over links it measurably slows that loop, which it serves once in 256 far links.
template <bool kDealing>
[[gnu::noinline]] void flushLinks(PathIndex* index, const PendingLink* links, uint32_t* filled) {
  for (uint32_t i = 0; i < *filled; i++) apply<kDealing>(index, links[i].target, links[i].value);
  *filled = 0;
}

// Hands nothing but the buffers to flushLinks, so that a pass held in a local stays there.
template <bool kDealing>
inline void offer(IndexPass* p, uint32_t t, uint32_t tag) {
  if (!kDealing) p->links++;
  // A link to a slot near its referrer lands near the last one applied: it goes straight in.
  if (p->buckets.count == 0 || t - p->from + kNearSlots < 2 * kNearSlots) {
    apply<kDealing>(p->index, t, p->from | tag);
    return;
  }
  uint32_t b = t >> p->buckets.shift;
  PendingLink* links = p->buckets.pending + static_cast<size_t>(b) * kBufferLinks;
  uint32_t* filled = &p->buckets.filled[b];
  links[(*filled)++] = PendingLink{t, p->from | tag};
  if (*filled == kBufferLinks) flushLinks<kDealing>(p->index, links, filled);
}

template <bool kDealing>
void offerStackLink(uint32_t t, void* context) {
  offer<kDealing>(static_cast<IndexPass*>(context), t, kStackEdge);
}

// The pass runs on a copy in a local (see vmRead32) whose address never leaves this function,
// but for a thread's stack, which a second copy takes. Compiled for each pass: the test of
// which pass it is would otherwise sit in the loop over links.
template <bool kDealing>
void walkLinks(const PathGraph* g, IndexPass* shared) {
  IndexPass p = *shared;
  p.from = 0;
  const HandleSpace space = g->space;
  walkSlots(space, [g, &p, space](uint32_t h, uint32_t body, uint32_t methods) {
    prefetchBody(space, h);
    SlotView v = viewSlotWords(g, body, methods);
    // The counting pass also looks up every object array's element class, so that with the
    // plain objects' classes (looked up by viewSlotWords) the table knows every class of the heap.
    if (!kDealing && v.kind == kSlotArray) classInfoOf(g->classes, classWordOf(body, methods));
    forEachFieldLink(g, h, v, [&p](uint32_t t) {
      offer<kDealing>(&p, t, 0);
      return false;
    });
    if (isThreadSlot(v)) {
      IndexPass held = p;
      forEachStackLink(g, h, offerStackLink<kDealing>, &held);
      p = held;
    }
    p.from++;
  });
  for (uint32_t b = 0; b < p.buckets.count; b++)
    flushLinks<kDealing>(p.index, p.buckets.pending + static_cast<size_t>(b) * kBufferLinks,
                         &p.buckets.filled[b]);
  *shared = p;
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

void bucketsFree(Buckets* b) {
  free(b->filled);
  free(b->pending);
  *b = Buckets{};
}

}  // namespace

int indexBuild(PathIndex* index, const PathGraph* g) {
  *index = PathIndex{};
  index->inStart =
      static_cast<uint32_t*>(calloc(static_cast<size_t>(g->slots) + 1, sizeof(uint32_t)));
  if (index->inStart == nullptr) return 0;
  IndexPass pass = {index, 0, 0, bucketsFor(g->slots)};
  walkLinks<false>(g, &pass);
  if (g->classes->failed || pass.links > UINT32_MAX - 1 ||
      pass.links > SIZE_MAX / sizeof(uint32_t)) {
    bucketsFree(&pass.buckets);
    indexFree(index);
    return 0;
  }
  index->edges = static_cast<uint32_t>(pass.links);
  // inStart[t] becomes the end of t's run; dealing counts each back down to its start.
  uint32_t sum = 0;
  for (uint32_t t = 0; t < g->slots; t++) {
    sum += index->inStart[t];
    index->inStart[t] = sum;
  }
  index->inStart[g->slots] = sum;
  // Zeroed: when the heap changed between the passes, a run the second pass did not fill holds
  // slot 0, never a word from outside the table.
  index->in = static_cast<uint32_t*>(calloc(index->edges ? index->edges : 1, sizeof(uint32_t)));
  if (index->in == nullptr) {
    bucketsFree(&pass.buckets);
    indexFree(index);
    return 0;
  }
  walkLinks<true>(g, &pass);
  bucketsFree(&pass.buckets);
  return 1;
}

void indexFree(PathIndex* index) {
  free(index->inStart);
  free(index->in);
  *index = PathIndex{};
}

}  // namespace tv
