#include "report/entry.h"

#include <stdlib.h>

#include "vm/handles.h"

namespace tv {

namespace {

// Fills *e for h; 0 when h is nothing an entry can name.
int fillEntry(uint32_t h, HeapEntry* e) {
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
    return 0;
  }
  // An object or array whose class word is no class handle has nothing to name.
  if (named == 0) return 0;
  e->kind = kind;
  e->handle = h;
  e->className = classNameAddress(named);
  e->methodSuffix = 0;
  e->detailIsName = 0;
  e->detail = -1;
  return 1;
}

}  // namespace

int hasEntry(uint32_t h) {
  HeapEntry e;
  return fillEntry(h, &e);
}

HeapEntry* makeEntry(uint32_t h) {
  HeapEntry e;
  return fillEntry(h, &e) ? newEntry(e.kind, e.handle, e.className) : nullptr;
}

HeapEntry* newEntry(char kind, uint32_t h, uint32_t className) {
  HeapEntry* made = static_cast<HeapEntry*>(malloc(sizeof(HeapEntry)));
  if (made) *made = HeapEntry{kind, h, className, 0, 0, -1};
  return made;
}

}  // namespace tv
