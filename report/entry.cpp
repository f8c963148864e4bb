#include "report/entry.h"

#include <stdlib.h>

#include "vm/handles.h"

namespace tv {

namespace {

// Works out h's kind and the name address its record carries; 0 when h is nothing an entry can
// name.
int nameEntry(uint32_t h, char* kindOut, uint32_t* classNameOut) {
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
  *kindOut = kind;
  *classNameOut = classNameAddress(named);
  return 1;
}

}  // namespace

int hasEntry(uint32_t h) {
  char kind;
  uint32_t className;
  return nameEntry(h, &kind, &className);
}

HeapEntry* makeEntry(uint32_t h) {
  char kind;
  uint32_t className;
  return nameEntry(h, &kind, &className) ? newEntry(kind, h, className) : nullptr;
}

HeapEntry* newEntry(char kind, uint32_t h, uint32_t className) {
  HeapEntry* made = static_cast<HeapEntry*>(malloc(sizeof(HeapEntry)));
  if (made) *made = HeapEntry{kind, h, className, 0, 0, -1};
  return made;
}

}  // namespace tv
