// HeapEntry: one object in a report. Every field is 32 bits wide except `kind`; names are VM
// addresses of VM-owned strings, never copied or freed.
#pragma once
#include <stdint.h>

namespace tv {

struct HeapEntry {
  char kind;             // 'C' class object, 'I' plain object, 'A' object array
  uint32_t handle;       // the handle described
  uint32_t className;    // address of the class name (0 when the class has none)
  int32_t methodSuffix;  // when set, "()" follows a named detail
  int32_t detailIsName;  // when set, detail is the address of a field or method name
  int32_t detail;        // count or index (-1 = none), or a name address
};

// A new entry for an object, class object or object array; null for anything else, including
// a live object array whose element-class word is 0 (there is no class to name), and when
// allocation fails. Entries are freed with free().
HeapEntry* makeEntry(uint32_t h);
// 1 when makeEntry(h) has something to name (it fails then only for want of memory).
int hasEntry(uint32_t h);
// The entry makeEntry(h) makes, for a walk that has worked out h's kind and the name address of
// the class it names already; null when allocation fails.
HeapEntry* newEntry(char kind, uint32_t h, uint32_t className);

}  // namespace tv
