#include "queries/classtable.h"

#include <stdlib.h>
#include <string.h>

#include "support/grow.h"
#include "vm/handles.h"
#include "vm/layout.h"
#include "vm/services.h"
#include "vm/threads.h"

namespace tv {

namespace {

constexpr uint32_t kInitialSlots = 256;  // a power of two; heaps have hundreds of classes

int growInfos(ClassTable* t) {
  void* infos = t->infos;
  int ok = growArray(&infos, &t->capacity, t->count, sizeof(ClassInfo), UINT32_MAX / 4);
  t->infos = static_cast<ClassInfo*>(infos);
  return ok;
}

void place(ClassTable* t, uint32_t index) {
  uint32_t word = t->infos[index].word;
  uint32_t s = classSlotHash(word, t->mask);
  while (t->slots[s].index != 0) s = (s + 1) & t->mask;
  t->slots[s] = ClassSlot{word, index + 1};
}

// Keeps the slots at most half full.
int growSlots(ClassTable* t) {
  if (2 * (t->count + 1) <= t->mask + 1) return 1;
  uint64_t size = 2 * (static_cast<uint64_t>(t->mask) + 1);
  if (size > UINT32_MAX / 2 || size > SIZE_MAX / sizeof(ClassSlot)) return 0;
  ClassSlot* slots = static_cast<ClassSlot*>(calloc(static_cast<size_t>(size), sizeof(ClassSlot)));
  if (slots == nullptr) return 0;
  free(t->slots);
  t->slots = slots;
  t->mask = static_cast<uint32_t>(size - 1);
  for (uint32_t i = 0; i < t->count; i++) place(t, i);
  return 1;
}

int pushField(ClassTable* t, FieldRef field) {
  void* fields = t->fields;
  int ok = growArray(&fields, &t->fieldCapacity, t->fieldTotal, sizeof(FieldRef), UINT32_MAX / 2);
  t->fields = static_cast<FieldRef*>(fields);
  if (ok) t->fields[t->fieldTotal++] = field;
  return ok;
}

struct FieldPlanning {
  ClassTable* table;
  int ok;
};

void planField(uint32_t entry, void* context) {
  FieldPlanning* p = static_cast<FieldPlanning*>(context);
  if (fieldIsStatic(entry) || !p->table->filter(entry)) return;
  if (!pushField(p->table, FieldRef{fieldStaticValue(entry), fieldNameAddress(entry)})) p->ok = 0;
}

int planClass(uint32_t c, void* context) {
  walkFieldTable(c, planField, context);
  return 1;
}

}  // namespace

int classTableInit(ClassTable* table, FieldFilter filter, int wantReferences) {
  memset(table, 0, sizeof *table);
  table->filter = filter;
  table->wantReferences = wantReferences;
  table->slots = static_cast<ClassSlot*>(calloc(kInitialSlots, sizeof(ClassSlot)));
  table->mask = kInitialSlots - 1;
  table->classClass = classClassHandle();
  table->threadClass = threadClassHandle();
  // Looked up afresh for every call; a 0 answer makes no class a Reference subclass.
  if (wantReferences) table->referenceClass = FindClass(nullptr, "java/lang/ref/Reference", 1);
  table->failed = table->slots == nullptr;
  return !table->failed;
}

void classTableFree(ClassTable* table) {
  free(table->infos);
  free(table->slots);
  free(table->fields);
  memset(table, 0, sizeof *table);
}

ClassInfo* classInfoMake(ClassTable* t, uint32_t word) {
  if (t->slots == nullptr || !growInfos(t) || !growSlots(t)) {
    t->failed = 1;
    return nullptr;
  }
  ClassInfo info = {};
  info.word = word;
  // What classOf gives for an object whose class word is `word`.
  info.cls = isLive(word) ? word : 0;
  info.name = classNameAddress(info.cls);
  info.instanceSize = classInstanceSize(info.cls);
  info.isClassClass = t->classClass != 0 && word == t->classClass;
  info.isThread = chainIncludes(info.cls, t->threadClass);
  // Reference itself is not one of its subclasses: the chain is searched from the superclass.
  info.isReference = info.cls != 0 && chainIncludes(superclassOf(info.cls), t->referenceClass);
  info.firstField = t->fieldTotal;
  if (t->filter != nullptr && info.cls != 0) {
    FieldPlanning planning = {t, 1};
    walkClassChain(info.cls, planClass, &planning);
    if (!planning.ok) {
      t->fieldTotal = info.firstField;
      t->failed = 1;
      return nullptr;
    }
  }
  info.fieldCount = t->fieldTotal - info.firstField;
  uint32_t index = t->count++;
  t->infos[index] = info;
  place(t, index);
  return &t->infos[index];
}

}  // namespace tv
