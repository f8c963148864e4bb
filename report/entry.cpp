#include "report/entry.h"

#include <stdlib.h>

#include "vm/handles.h"

namespace tv {

HeapEntry* makeEntry(uint32_t h) {
  char kind;
  uint32_t named;  // the class whose name the record carries
  if (isClassObject(h)) {
    kind = 'C';
    named = h;  // the class it describes
  } else if (isObject(h)) {
    kind = 'I';
    named = classOf(h);
  } else if (isObjectArray(h)) {
    kind = 'A';
    named = classOf(h);  // the element class
  } else {
    return nullptr;
  }
  // An object or array whose class word is no class handle has nothing to name.
  if (named == 0) return nullptr;
  HeapEntry* e = static_cast<HeapEntry*>(malloc(sizeof(HeapEntry)));
  if (!e) return nullptr;
  e->kind = kind;
  e->handle = h;
  e->className = classNameAddress(named);
  e->methodSuffix = 0;
  e->detailIsName = 0;
  e->detail = -1;
  return e;
}

}  // namespace tv
