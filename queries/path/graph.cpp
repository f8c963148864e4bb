#include "queries/path/graph.h"

#include "queries/heapwalk.h"
#include "report/entry.h"
#include "vm/threads.h"

namespace tv {

namespace {

struct StackLinks {
  const PathGraph* g;
  StackLinkVisitor link;
  void* context;
};

// Only a slot the stack scan reports as an entry is a link (a primitive array is none).
void stackSlot(uint32_t value, uint32_t, void* context) {
  StackLinks* s = static_cast<StackLinks*>(context);
  uint32_t t = graphSlot(s->g, value);
  if (t != kNoSlot && hasEntry(value)) s->link(t, s->context);
}

}  // namespace

int noteSlotClasses(const PathGraph* g) {
  ClassTable* classes = g->classes;
  walkSlots(g->space, [classes](uint32_t, uint32_t body, uint32_t methods) {
    uint32_t type = methods & kTypeCodeMask;
    if (body != 0 && (type == kTypeObject || type == kTypeObjectArray))
      classInfoOf(classes, classWordOf(body, methods));
  });
  return !classes->failed;
}

void forEachStackLink(const PathGraph* g, uint32_t thread, StackLinkVisitor link, void* context) {
  StackLinks s = {g, link, context};
  scanThreadStack(thread, &g->space, stackSlot, &s);
}

}  // namespace tv
