#include "queries/census.h"

#include <stdlib.h>
#include <string.h>

#include "queries/classtable.h"
#include "queries/heapwalk.h"
#include "report/compare.h"
#include "report/entry.h"
#include "report/writer.h"
#include "support/ptrlist.h"
#include "support/ptrmap.h"
#include "vm/handles.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/strings.h"

namespace tv {

namespace {

// The tallies of the classes whose credits are kept, by class word, so that counting an
// object is one probe of a small table that stays in cache: a slot holds a word and its
// tally. A class whose slot is taken by another goes on through the class table.
constexpr uint32_t kTallySlots = 1024;  // per kind; a power of two, well above a heap's classes

struct TallySlot {
  uint32_t word;
  uint32_t tally;  // 0: the slot is empty (a class is placed here with its first object)
};

inline uint32_t tallySlotOf(uint32_t word) { return (word >> 3) * 0x9E3779B1u >> 22; }
static_assert(kTallySlots == 1u << (32 - 22), "tallySlotOf yields kTallySlots slots");

struct Census {
  const char* prefix;
  size_t prefixLength;
  int creditSuperclasses;
  PtrMap* counts[2];      // [isArray]: name address -> C (plain objects) or A (arrays) entry
  ClassTable classes[2];  // [isArray]: answer = PtrList of the entries one slot raises
  TallySlot* tallies;     // [isArray * kTallySlots + slot]
  int failed;             // an allocation failed: the census reports nothing
};

void freeEntryValue(int32_t, uintptr_t value, void*) { free(reinterpret_cast<void*>(value)); }

void destroyCredits(ClassTable* table) {
  for (uint32_t i = 0; i < table->count; i++) {
    PtrList* credits = reinterpret_cast<PtrList*>(table->infos[i].answer);
    listDestroy(&credits);
  }
  classTableFree(table);
}

struct Crediting {
  Census* census;
  int isArray;
  PtrList* credits;
  int lasting;
};

// Adds the entry of one class of the chain, when its name begins with the prefix.
int creditClass(uint32_t c, void* context) {
  Crediting* k = static_cast<Crediting*>(context);
  Census* census = k->census;
  uint32_t nameAddress = classNameAddress(c);
  const char* name = nameAddress ? vmString(nameAddress) : nullptr;
  if (name && name[0] != '[' && strncmp(name, census->prefix, census->prefixLength) == 0) {
    PtrMap* map = census->counts[k->isArray];
    HeapEntry* e = reinterpret_cast<HeapEntry*>(mapFind(map, static_cast<int32_t>(nameAddress)));
    if (!e && (e = makeEntry(c)) == nullptr) k->lasting = 0;
    if (e && e->detail < 0) {  // just made
      e->detail = 0;
      if (k->isArray) e->kind = 'A';
      if (!mapPut(map, static_cast<int32_t>(nameAddress), reinterpret_cast<uintptr_t>(e))) {
        free(e);
        e = nullptr;
        census->failed = 1;
      }
    }
    if (e && !listPush(k->credits, reinterpret_cast<uintptr_t>(e))) census->failed = 1;
  }
  return census->creditSuperclasses;
}

// The entries an object (or object array) of class c raises by one: its class and, with
// creditSuperclasses, each class above it, wherever the name begins with the prefix. Array
// classes and classes without a name are never counted. Entries are made, at count 0, the
// first time their name is met, exactly as a slot-by-slot walk would make them. *lasting is
// cleared when a class in the chain had no entry to make (a damaged class handle): then a later
// object of the same class may still find an entry made meanwhile for the same name, so the
// answer must not be kept.
PtrList* creditsOf(Census* census, uint32_t c, int isArray, int* lasting) {
  Crediting k = {census, isArray, listNew(), 1};
  if (k.credits) walkClassChain(c, creditClass, &k);
  *lasting = k.lasting;
  return k.credits;
}

void raise(const PtrList* credits, int32_t by) {
  for (int32_t i = 0; i < credits->count; i++)
    reinterpret_cast<HeapEntry*>(credits->items[i])->detail += by;
}

// Objects of a class whose credits are kept are only tallied per class here (in the tally
// slots or, for a class that found its slot taken, in its ClassInfo); the tallies are added
// to the entries after the walk (addTallies). Plain objects (type code 0) and object arrays
// (2) are the slots counted; the type code's second bit picks the tables.
inline void countSlot(Census* census, TallySlot* tallies, uint32_t body, uint32_t methods) {
  const uint32_t type = methods & kTypeCodeMask;
  if (body == 0 || (type & ~kTypeObjectArray) != 0) return;
  const int isArray = type == kTypeObjectArray;
  // A plain object's methods word is aligned (its low bits are the type code, 0).
  const uint32_t word = isArray ? vmRead32(elementClassWordAddress(body, methods))
                                : vmRead32Aligned(methods + kMethodTableClass);
  TallySlot* fast = &tallies[(isArray ? kTallySlots : 0) + tallySlotOf(word)];
  if (fast->word == word && fast->tally != 0) {
    fast->tally++;
    return;
  }
  ClassInfo* info = classInfoOf(&census->classes[isArray], word);
  if (info == nullptr) {
    census->failed = 1;
    return;
  }
  if (info->answer != 0) {
    info->tally++;
    return;
  }
  if (info->cls == 0) return;
  int lasting = 1;
  PtrList* credits = creditsOf(census, info->cls, isArray, &lasting);
  if (!credits) {
    census->failed = 1;
    return;
  }
  raise(credits, 1);
  if (lasting) {
    info->answer = reinterpret_cast<uintptr_t>(credits);
    if (fast->tally == 0) *fast = TallySlot{word, 1};  // from the next object of the class on
  } else {
    listDestroy(&credits);
  }
}

// Moves the tally slots' counts to their classes' entries.
void addSlotTallies(Census* census) {
  for (uint32_t i = 0; i < 2 * kTallySlots; i++) {
    const TallySlot slot = census->tallies[i];
    if (slot.tally <= 1 || census->failed) continue;
    ClassInfo* info = classInfoOf(&census->classes[i / kTallySlots], slot.word);
    if (info == nullptr) {
      census->failed = 1;
    } else {
      raise(reinterpret_cast<const PtrList*>(info->answer), static_cast<int32_t>(slot.tally - 1));
    }
  }
}

void addTallies(const ClassTable* table) {
  for (uint32_t i = 0; i < table->count; i++) {
    const ClassInfo* info = &table->infos[i];
    if (info->answer != 0 && info->tally != 0)
      raise(reinterpret_cast<const PtrList*>(info->answer), static_cast<int32_t>(info->tally));
  }
}

struct Listing {
  uint32_t target;
  int includeSubclasses;
  PtrList* list;
  ClassTable classes;    // answer: kMatch or kNoMatch
  TallySlot* unmatched;  // class words known to match no class listed: tally 1
};

constexpr uintptr_t kMatch = 1;
constexpr uintptr_t kNoMatch = 2;

// 1 when c is the target or, with includeSubclasses, a class below it.
int matchesTarget(const Listing* listing, uint32_t c) {
  return c == listing->target || (listing->includeSubclasses && chainIncludes(c, listing->target));
}

// Most slots hold objects of classes not listed: their class word is found in `unmatched`
// with one probe, and only the others are looked up in the class table.
inline void listSlot(Listing* listing, TallySlot* unmatched, uint32_t h, uint32_t body,
                     uint32_t methods, uint32_t kind) {
  if (body == 0 || (methods & kTypeCodeMask) != kind) return;
  // A plain object's methods word is aligned (its low bits are the type code, 0).
  uint32_t word = kind == kTypeObjectArray ? vmRead32(elementClassWordAddress(body, methods))
                                           : vmRead32Aligned(methods + kMethodTableClass);
  TallySlot* known = &unmatched[tallySlotOf(word)];
  if (known->word == word && known->tally != 0) return;
  ClassInfo* info = classInfoOf(&listing->classes, word);
  HeapEntry* e;
  if (info == nullptr) {  // no memory to keep the answer: it is worked out for this object alone
    if (!isLive(word) || !matchesTarget(listing, word)) return;
    e = makeEntry(h);
  } else {
    if (info->answer == 0)
      info->answer = info->cls != 0 && matchesTarget(listing, info->cls) ? kMatch : kNoMatch;
    if (info->answer != kMatch) {
      if (known->tally == 0) *known = TallySlot{word, 1};
      return;
    }
    // What makeEntry would find again: a class object is named after the class it describes.
    if (kind == kTypeObjectArray)
      e = newEntry('A', h, info->name);
    else
      e = info->isClassClass ? newEntry('C', h, classNameAddress(h)) : newEntry('I', h, info->name);
  }
  if (e && !listPush(listing->list, reinterpret_cast<uintptr_t>(e))) free(e);
}

}  // namespace

// A stream that is no live object gets nothing written and the heap is not walked. A prefix
// that is no string gets an empty report, as does a query whose containers cannot be had.
void getClasses(uint32_t stream, uint32_t prefix, int32_t creditSuperclasses, int32_t sortByCount) {
  HandleSpace space = beginHeapWalk();
  if (!isWritableStream(stream)) return;
  Census census = {javaStringBytes(prefix),
                   0,
                   creditSuperclasses != 0,
                   {mapNew(), mapNew()},
                   {},
                   static_cast<TallySlot*>(calloc(2 * kTallySlots, sizeof(TallySlot))),
                   0};
  int tables = classTableInit(&census.classes[0], nullptr, 0);
  tables = classTableInit(&census.classes[1], nullptr, 0) && tables;
  PtrList* list = listNew();
  int ok =
      census.prefix && census.counts[0] && census.counts[1] && tables && list && census.tallies;
  if (ok) {
    census.prefixLength = strlen(census.prefix);
    walkSlotsAhead(
        space,
        [](uint32_t body, uint32_t methods) {
          if ((methods & kTypeCodeMask) == kTypeObjectArray)
            prefetchLine(elementClassWordAddress(body, methods));
        },
        [&census, tallies = census.tallies](uint32_t, uint32_t body, uint32_t methods) {
          if (!census.failed) countSlot(&census, tallies, body, methods);
        });
    addSlotTallies(&census);
    addTallies(&census.classes[0]);
    addTallies(&census.classes[1]);
    ok = !census.failed && mapValuesInto(census.counts[0], list) &&
         mapValuesInto(census.counts[1], list);
  }
  if (ok) {
    listSort(list, sortByCount ? compareByCount : compareByName);
  } else {
    // The maps hold every entry, whether or not it reached the list.
    for (PtrMap* map : census.counts)
      if (map) mapForEach(map, freeEntryValue, nullptr);
    listDestroy(&list);
  }
  writeEntryList(stream, list);  // a null list is written as an empty report
  listDestroy(&list);
  mapDestroy(&census.counts[0]);
  mapDestroy(&census.counts[1]);
  destroyCredits(&census.classes[0]);
  destroyCredits(&census.classes[1]);
  free(census.tallies);
}

// `arrays` selects object arrays (1) or plain objects (0); any other value matches no slot,
// and neither does a target that is no live handle.
void getHandles(uint32_t stream, uint32_t target, int32_t includeSubclasses, int32_t arrays) {
  HandleSpace space = beginHeapWalk();
  if (!isWritableStream(stream)) return;
  Listing listing = {target,
                     includeSubclasses != 0,
                     listNew(),
                     {},
                     static_cast<TallySlot*>(calloc(kTallySlots, sizeof(TallySlot)))};
  int ready = classTableInit(&listing.classes, nullptr, 0) && listing.unmatched;
  if (listing.list && ready && (arrays == 0 || arrays == 1) && isLive(target)) {
    TallySlot* const unmatched = listing.unmatched;
    if (arrays) {
      walkSlotsAhead(
          space,
          [](uint32_t body, uint32_t methods) {
            if ((methods & kTypeCodeMask) == kTypeObjectArray)
              prefetchLine(elementClassWordAddress(body, methods));
          },
          [&listing, unmatched](uint32_t h, uint32_t body, uint32_t methods) {
            listSlot(&listing, unmatched, h, body, methods, kTypeObjectArray);
          });
    } else {
      walkSlotsAhead(space, NoAhead{},
                     [&listing, unmatched](uint32_t h, uint32_t body, uint32_t methods) {
                       listSlot(&listing, unmatched, h, body, methods, kTypeObject);
                     });
    }
    if (includeSubclasses) sortEntriesByName(listing.list);
  }
  writeEntryList(stream, listing.list);
  listDestroy(&listing.list);
  classTableFree(&listing.classes);
  free(listing.unmatched);
}

}  // namespace tv
