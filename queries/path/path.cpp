// findPathToRoot0: the chain of references from a root (a class's static field or another
// thread's local variable) down to one object, as an int array of handle values.
#include "queries/path/path.h"

#include <stdlib.h>
#include <string.h>

#include "queries/classtable.h"
#include "queries/heapwalk.h"
#include "queries/path/graph.h"
#include "queries/path/index.h"
#include "queries/path/refclasses.h"
#include "queries/path/search.h"
#include "vm/handles.h"
#include "vm/handlespace.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/services.h"

namespace tv {

namespace {

const char kSearchFailed[] = "Search Failed";
const char kExceeded[] = "Exceeded maximum nodes";
const char kOutOfMemory[] = "Search Failed - not enough memory for the search";
const char kNoResultArray[] = "Search Failed - couldn't allocate the result array";

// The message goes into element 0 of the caller's array. Anything that is not an object array
// with room for one element is left alone.
void storeMessage(uint32_t messageOut, const char* message) {
  if (!isObjectArray(messageOut) || arrayLength(messageOut) == 0) return;
  uint32_t text = makeJavaString(message, static_cast<int32_t>(strlen(message)));
  // The VM ran while it made the string: the array may have moved (element 0 is written where
  // its body is now) or been freed (nothing is written).
  uint32_t body = handleBody(messageOut);
  if (body != 0) vmWrite32(body, text);
}

// A new int array holding `values`, or 0 when the VM cannot supply one of that length.
uint32_t makeIntArray(const uint32_t* values, uint32_t count) {
  uint32_t array = ArrayAlloc(kTypeInt, static_cast<int32_t>(count));
  if (array == 0) return 0;
  // The table may have grown downward to make room for the new slot.
  refreshHandleSpace();
  if (!isLive(array) || arrayTypeCode(array) != kTypeInt || arrayLength(array) < count) return 0;
  uint32_t body = handleBody(array);  // read once: 0 if the VM freed it meanwhile
  if (body == 0) return 0;
  vmWriteBlock(body, values, static_cast<size_t>(count) * sizeof(uint32_t));
  return array;
}

// Looks up the class of every slot, so that the Reference classes are known before the search,
// and shares them with earlier calls.
int noteClasses(const PathGraph* g) {
  return noteSlotClasses(g) && syncReferenceClasses(g->classes);
}

// Searches over an index when one can be had, else by walking the heap once per level. The
// Reference classes must be known before either search begins.
const char* search(const PathGraph* g, uint32_t target, int32_t maxNodes, uint32_t* result) {
  uint32_t* path = nullptr;
  uint32_t length = 0;
  PathIndex index;
  PathOutcome outcome = kPathOutOfMemory;
  int indexed = indexBuild(&index, g);
  // An index that could not be had may have left the class table short of memory while it
  // held its own: with that memory given back, the walking search's lookups are tried afresh.
  if (!indexed) g->classes->failed = 0;
  int classesKnown = indexed ? syncReferenceClasses(g->classes) : noteClasses(g);
  if (indexed && classesKnown) outcome = searchPath(g, &index, target, maxNodes, &path, &length);
  if (indexed) indexFree(&index);
  if (outcome == kPathOutOfMemory && classesKnown && !g->classes->failed)
    outcome = searchPath(g, nullptr, target, maxNodes, &path, &length);
  const char* message = nullptr;
  switch (outcome) {
    case kPathFound:
      *result = makeIntArray(path, length);
      if (*result == 0) message = kNoResultArray;
      break;
    case kPathExceeded:
      message = kExceeded;
      break;
    case kPathOutOfMemory:
      message = kOutOfMemory;
      break;
    case kPathSearchFailed:
      message = kSearchFailed;
      break;
  }
  free(path);
  return message;
}

}  // namespace

uint32_t findPathToRoot(uint32_t target, int32_t maxNodes, uint32_t messageOut) {
  HandleSpace space = beginHeapWalk();
  ClassTable classes;
  PathGraph g = {space, slotCount(space), &classes};
  int ready = classTableInit(&classes, fieldIsReference, 1);
  uint32_t result = 0;
  const char* message = kSearchFailed;
  if (isObject(target) || isObjectArray(target)) {
    message = ready ? search(&g, target, maxNodes, &result) : kOutOfMemory;
  } else if (ready) {
    // Nothing to search, but the classes are noted all the same: later calls rely on what
    // earlier ones saw.
    noteClasses(&g);
  }
  classTableFree(&classes);
  if (result == 0) storeMessage(messageOut, message);
  return result;
}

}  // namespace tv
