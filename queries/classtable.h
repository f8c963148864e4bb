// ClassTable: what a whole-heap query asks of a class, worked out once per class per call and
// found again for every later object of the class in O(1).
//
// Objects are looked up by their class word as it stands in the heap (a plain object's
// MethodTable word 0, an object array's element-class word), so the per-object cost is one
// probe of an open-addressed table whose slots hold the word beside the entry's index (one
// load decides a hit) and no checks: the word is checked once, when its entry is made. An entry
// holds the class (0 when the word names no live class), its name, its instance size, whether it is
// java/lang/Class, a thread class or a Reference subclass, and the instance fields of its whole
// chain that pass the table's filter, in the order a field scan visits them (own class first, each
// table in order).
//
// Invariants: `slots` has a power-of-two size at most half full; a slot holds a class word and
// the index of its entry in `infos` plus one, 0 when empty. A ClassInfo pointer stays valid until
// the next lookup of a class not met before (the array may move when it grows); indices stay valid
// for the call. Ownership: the table owns infos, slots and fields; ClassInfo::answer belongs to the
// query. Allocation failure: classInfoOf returns null and sets `failed`; the table stays usable.
#pragma once
#include <stdint.h>

namespace tv {

struct FieldRef {
  uint32_t offset;  // byte offset of the value within an instance's body
  uint32_t name;    // address of the field's name
};

struct ClassInfo {
  uint32_t word;          // the class word this entry answers for
  uint32_t cls;           // that word as a live class handle, else 0
  uint32_t name;          // address of the class's name; 0 when it has none
  uint32_t instanceSize;  // of the class itself
  uint8_t isClassClass;   // the word is java/lang/Class: its objects are class objects
  uint8_t isThread;       // java/lang/Thread is in the chain
  uint8_t isReference;    // java/lang/ref/Reference is above it (tables that ask for it)
  uint32_t firstField;    // into ClassTable::fields
  uint32_t fieldCount;
  uintptr_t answer;  // the query's own per-class answer; 0 until the query sets one
  uint32_t tally;    // the query's own count of objects of the class
};

typedef int (*FieldFilter)(uint32_t entry);  // 1 to select a non-static field

struct ClassSlot {
  uint32_t word;
  uint32_t index;  // into infos, plus one; 0 when the slot is empty
};

struct ClassTable {
  ClassInfo* infos;
  uint32_t count;
  uint32_t capacity;
  ClassSlot* slots;
  uint32_t mask;  // slot count - 1
  FieldRef* fields;
  uint32_t fieldTotal;
  uint32_t fieldCapacity;
  FieldFilter filter;       // null: no fields are planned
  uint32_t classClass;      // java/lang/Class, looked up once per call
  uint32_t threadClass;     // java/lang/Thread
  uint32_t referenceClass;  // java/lang/ref/Reference, when isReference is wanted; else 0
  int wantReferences;
  int failed;
};

// Options of a table: the field filter (or null) and whether to work out isReference.
int classTableInit(ClassTable* table, FieldFilter filter, int wantReferences);
void classTableFree(ClassTable* table);

ClassInfo* classInfoMake(ClassTable* table, uint32_t word);  // the slow path of classInfoOf

inline uint32_t classSlotHash(uint32_t word, uint32_t mask) {
  return ((word >> 3) * 0x9E3779B1u >> 7) & mask;
}

inline ClassInfo* classInfoOf(ClassTable* table, uint32_t word) {
  for (uint32_t s = classSlotHash(word, table->mask);; s = (s + 1) & table->mask) {
    ClassSlot slot = table->slots[s];
    if (slot.word == word && slot.index != 0) return &table->infos[slot.index - 1];
    if (slot.index == 0) break;
  }
  return classInfoMake(table, word);
}

inline const FieldRef* classFields(const ClassTable* table, const ClassInfo* info) {
  return table->fields + info->firstField;
}

}  // namespace tv
