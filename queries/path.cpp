// findPathToRoot0: the chain of references from a root (a class's static field or another
// thread's local variable) down to one object, as an int array of handle values.
#include "queries/path.h"

#include <stdlib.h>
#include <string.h>

#include "queries/heapwalk.h"
#include "queries/path_index.h"
#include "queries/path_refclasses.h"
#include "queries/path_search.h"
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

// Registers the Reference classes and indexes the heap in the same walk, then searches.
const char* search(uint32_t target, int32_t maxNodes, HandleSpace space, uint32_t* result) {
  RefClassScan refs;
  PathIndex index;
  int ready = refScanBegin(&refs);
  ready = indexBuild(&index, space, &refs) && ready;
  // An incomplete class set would let the search follow what it must not.
  ready = refScanEnd(&refs) && ready;
  if (!ready) {
    indexFree(&index);
    refScanFree(&refs);
    return kOutOfMemory;
  }
  uint32_t* path;
  uint32_t length;
  PathOutcome outcome = searchPath(&index, &refs, target, maxNodes, &path, &length);
  indexFree(&index);
  refScanFree(&refs);
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
  uint32_t result = 0;
  const char* message = kSearchFailed;
  if (isObject(target) || isObjectArray(target)) {
    message = search(target, maxNodes, space, &result);
  } else {
    // Nothing to search, but the classes are registered all the same: the set outlives the
    // call, and later calls rely on what earlier ones saw.
    registerReferenceClasses(space);
  }
  if (result == 0) storeMessage(messageOut, message);
  return result;
}

}  // namespace tv
