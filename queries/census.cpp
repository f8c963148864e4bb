#include "queries/census.h"

#include <stdlib.h>
#include <string.h>

#include "queries/heapwalk.h"
#include "report/compare.h"
#include "report/entry.h"
#include "report/writer.h"
#include "support/ptrlist.h"
#include "support/ptrmap.h"
#include "vm/handles.h"
#include "vm/strings.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/services.h"

namespace tv {

namespace {

// The classes of neighbouring slots repeat, and a class's chain gives the same answer for
// every object of it; so each class's answer is worked out once and kept for the query,
// with the last class met kept at hand.
struct ClassMemo {
  PtrMap* byClass;  // class handle -> answer (never 0)
  uint32_t lastClass;
  uintptr_t lastAnswer;
};

// The answer memoised for c, or 0 when c has not been met yet.
uintptr_t recall(const ClassMemo* memo, uint32_t c) {
  if (c == memo->lastClass) return memo->lastAnswer;
  return mapFind(memo->byClass, static_cast<int32_t>(c));
}

int remember(ClassMemo* memo, uint32_t c, uintptr_t answer) {
  memo->lastClass = c;
  memo->lastAnswer = answer;
  return mapPut(memo->byClass, static_cast<int32_t>(c), answer);
}

struct Census {
  const char* prefix;
  size_t prefixLength;
  int creditSuperclasses;
  PtrMap* instances;    // name address -> C entry counting plain objects
  PtrMap* arrayCounts;  // name address -> A entry counting object arrays
  ClassMemo credits[2];  // [isArray]: class -> PtrList of the entries one slot raises
  int failed;            // an allocation failed: the census reports nothing
};

struct Listing {
  uint32_t target;
  int includeSubclasses;
  int arrays;
  PtrList* list;
  ClassMemo matches;  // class -> kMatch or kNoMatch
};

constexpr uintptr_t kMatch = 1;
constexpr uintptr_t kNoMatch = 2;

void freeMapEntries(PtrMap* map) {
  for (int32_t b = 0; b < map->size; b++) {
    for (PtrMapNode* node = map->buckets[b]; node; node = node->next) free(reinterpret_cast<void*>(node->value));
  }
}

void destroyCredits(ClassMemo* memo) {
  if (!memo->byClass) return;
  for (int32_t b = 0; b < memo->byClass->size; b++) {
    for (PtrMapNode* node = memo->byClass->buckets[b]; node; node = node->next) {
      PtrList* list = reinterpret_cast<PtrList*>(node->value);
      listDestroy(&list);
    }
  }
  mapDestroy(&memo->byClass);
}

// The entries an object (or object array) of class c raises by one: its class and, with
// creditSuperclasses, each class above it, wherever the name begins with the prefix. Array
// classes and classes without a name are never counted. Entries are made, at count 0, the
// first time their name is met, exactly as a slot-by-slot walk would make them. *lasting is
// cleared when a class in the chain had no entry to make (a damaged class handle): then a later
// object of the same class may still find an entry made meanwhile for the same name, so the
// answer must not be kept.
PtrList* creditsOf(Census* census, uint32_t c, int isArray, int* lasting) {
  *lasting = 1;
  PtrList* credits = listNew();
  if (!credits) return nullptr;
  PtrMap* map = isArray ? census->arrayCounts : census->instances;
  for (int depth = 0; c != 0 && depth < kMaxClassDepth; depth++) {
    uint32_t nameAddress = classNameAddress(c);
    const char* name = nameAddress ? vmString(nameAddress) : nullptr;
    if (name && name[0] != '[' && strncmp(name, census->prefix, census->prefixLength) == 0) {
      HeapEntry* e = reinterpret_cast<HeapEntry*>(mapFind(map, static_cast<int32_t>(nameAddress)));
      if (!e && (e = makeEntry(c)) == nullptr) *lasting = 0;
      if (e && e->detail < 0) {  // just made
        e->detail = 0;
        if (isArray) e->kind = 'A';
        if (!mapPut(map, static_cast<int32_t>(nameAddress), reinterpret_cast<uintptr_t>(e))) {
          free(e);
          e = nullptr;
          census->failed = 1;
        }
      }
      if (e && !listPush(credits, reinterpret_cast<uintptr_t>(e))) census->failed = 1;
    }
    if (!census->creditSuperclasses) break;
    c = superclassOf(c);
  }
  return credits;
}

void countSlot(uint32_t h, void* context) {
  Census* census = static_cast<Census*>(context);
  uint32_t c = classOf(h);
  if (c == 0 || census->failed) return;
  int isArray = arrayTypeCode(h) == kTypeObjectArray;  // h is live: it has a class
  ClassMemo* memo = &census->credits[isArray];
  PtrList* credits = reinterpret_cast<PtrList*>(recall(memo, c));
  int lasting = 1;
  if (!credits) {
    credits = creditsOf(census, c, isArray, &lasting);
    if (!credits || (lasting && !remember(memo, c, reinterpret_cast<uintptr_t>(credits)))) {
      listDestroy(&credits);
      census->failed = 1;
      return;
    }
  }
  for (int32_t i = 0; i < credits->count; i++) reinterpret_cast<HeapEntry*>(credits->items[i])->detail++;
  if (!lasting) listDestroy(&credits);
}

// 1 when c is the target or, with includeSubclasses, a class below it.
int matchesTarget(const Listing* listing, uint32_t c) {
  for (int depth = 0; c != 0 && depth < kMaxClassDepth; depth++) {
    if (c == listing->target) return 1;
    if (!listing->includeSubclasses) return 0;
    c = superclassOf(c);
  }
  return 0;
}

void listSlot(uint32_t h, void* context) {
  Listing* listing = static_cast<Listing*>(context);
  uint32_t c = classOf(h);
  if (c == 0 || (arrayTypeCode(h) == kTypeObjectArray) != listing->arrays) return;
  uintptr_t answer = recall(&listing->matches, c);
  if (!answer) {
    answer = matchesTarget(listing, c) ? kMatch : kNoMatch;
    remember(&listing->matches, c, answer);  // when this fails the answer is simply worked out again
  }
  if (answer != kMatch) return;
  HeapEntry* e = makeEntry(h);
  if (e && !listPush(listing->list, reinterpret_cast<uintptr_t>(e))) free(e);
}

}  // namespace

// A stream that is no live object gets nothing written and the heap is not walked. A prefix
// that is no string gets an empty report, as does a query whose containers cannot be had.
void getClasses(uint32_t stream, uint32_t prefix, int32_t creditSuperclasses, int32_t sortByCount) {
  HandleSpace space = beginHeapWalk();
  if (!isWritableStream(stream)) return;
  Census census = {javaStringBytes(prefix), 0, creditSuperclasses != 0, mapNew(), mapNew(),
                   {{mapNew(), 0, 0}, {mapNew(), 0, 0}}, 0};
  PtrList* list = listNew();
  int ok = census.prefix && census.instances && census.arrayCounts && census.credits[0].byClass &&
           census.credits[1].byClass && list;
  if (ok) {
    census.prefixLength = strlen(census.prefix);
    walkHandleSpace(space, countSlot, &census);
    ok = !census.failed && mapValuesInto(census.instances, list) &&
         mapValuesInto(census.arrayCounts, list);
  }
  if (ok) {
    listSort(list, sortByCount ? compareByCount : compareByName);
  } else {
    // The maps hold every entry, whether or not it reached the list.
    if (census.instances) freeMapEntries(census.instances);
    if (census.arrayCounts) freeMapEntries(census.arrayCounts);
    listDestroy(&list);
  }
  writeEntryList(stream, list);  // a null list is written as an empty report
  listDestroy(&list);
  mapDestroy(&census.instances);
  mapDestroy(&census.arrayCounts);
  destroyCredits(&census.credits[0]);
  destroyCredits(&census.credits[1]);
}

// `arrays` selects object arrays (1) or plain objects (0); any other value matches no slot,
// and neither does a target that is no live handle.
void getHandles(uint32_t stream, uint32_t target, int32_t includeSubclasses, int32_t arrays) {
  HandleSpace space = beginHeapWalk();
  if (!isWritableStream(stream)) return;
  Listing listing = {target, includeSubclasses != 0, arrays, listNew(), {mapNew(), 0, 0}};
  if (listing.list && listing.matches.byClass && (arrays == 0 || arrays == 1) && isLive(target)) {
    walkHandleSpace(space, listSlot, &listing);
    if (includeSubclasses) listSort(listing.list, compareByName);
  }
  writeEntryList(stream, listing.list);
  listDestroy(&listing.list);
  mapDestroy(&listing.matches.byClass);
}

}  // namespace tv
