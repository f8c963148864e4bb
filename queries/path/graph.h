// The reference graph the path search walks, read straight from the heap: nodes are slots
// (slot s is the handle first + 8 * s), and a slot's links, in the order the search tries them:
//
//   class object: its static reference fields, in table order
//   plain object: its instance reference fields, own class first, each table in order; then,
//                 for a thread other than the caller, its stack entries in scan order
//   object array: its elements, lowest index first
//
// Values that are 0, not a multiple of 8 or outside the handle space are no links (they can
// never name a node). Field links and stack links are offered separately: the search treats
// them differently.
#pragma once
#include <stdint.h>

#include "queries/classtable.h"
#include "queries/heapwalk.h"
#include "vm/handles.h"
#include "vm/handlespace.h"
#include "vm/layout.h"
#include "vm/memory.h"

namespace tv {

constexpr uint32_t kNoSlot = kNotASlot;

struct PathGraph {
  HandleSpace space;
  uint32_t slots;
  ClassTable* classes;  // reference fields planned, Reference subclasses marked
};

inline uint32_t graphHandle(const PathGraph* g, uint32_t slot) {
  return g->space.first + slot * kHandleSize;
}

// The slot of `space` that v names, or kNoSlot when v can be no link.
inline uint32_t spaceSlot(HandleSpace space, uint32_t v) {
  return v == 0 ? kNoSlot : slotIndexIn(space, v);
}

inline uint32_t graphSlot(const PathGraph* g, uint32_t v) { return spaceSlot(g->space, v); }

// What kind of node a slot is, with the class entry of a plain object.
enum SlotKind { kSlotOther, kSlotClassObject, kSlotObject, kSlotArray };

struct SlotView {
  SlotKind kind;
  uint32_t body;
  uint32_t methods;
  const ClassInfo* info;  // plain objects and class objects; null when the table failed
};

// The view of a slot whose two words the caller has read (body first).
inline SlotView viewSlotWords(const PathGraph* g, uint32_t body, uint32_t methods) {
  SlotView v = {kSlotOther, body, methods, nullptr};
  if (v.body == 0) return v;
  uint32_t type = v.methods & kTypeCodeMask;
  if (type == kTypeObjectArray) {
    v.kind = kSlotArray;
  } else if (type == kTypeObject) {
    v.info = classInfoOf(g->classes, vmRead32(v.methods + kMethodTableClass));
    v.kind = v.info != nullptr && v.info->isClassClass ? kSlotClassObject : kSlotObject;
  }
  return v;
}

inline SlotView viewSlot(const PathGraph* g, uint32_t h) {
  uint32_t body = vmRead32(h + kHandleBody);
  return viewSlotWords(g, body, vmRead32(h + kHandleMethods));
}

// 1 when a node of this slot's class is a Reference instance (for an array: of a Reference
// element class); -1 when the class table failed.
inline int slotIsReference(const PathGraph* g, uint32_t h) {
  uint32_t body = vmRead32(h + kHandleBody);
  uint32_t methods = vmRead32(h + kHandleMethods);
  uint32_t type = methods & kTypeCodeMask;
  if (body == 0 || (type != kTypeObject && type != kTypeObjectArray)) return 0;
  const ClassInfo* info = classInfoOf(g->classes, classWordOf(body, methods));
  return info == nullptr ? -1 : info->isReference;
}

template <typename Link>
struct StaticLinks {
  const PathGraph* g;
  Link* link;
  int stopped;
};

template <typename Link>
void staticLink(uint32_t entry, void* context) {
  StaticLinks<Link>* s = static_cast<StaticLinks<Link>*>(context);
  if (s->stopped || !fieldIsStatic(entry) || !fieldIsReference(entry)) return;
  uint32_t t = graphSlot(s->g, fieldStaticValue(entry));
  if (t != kNoSlot && (*s->link)(t)) s->stopped = 1;
}

// Offers the slot's field links (statics, fields or elements) to link(t) in order, until link
// returns true. Returns 1 when it stopped there. The loops keep what they consult in locals
// (see vmRead32).
template <typename Link>
inline int forEachFieldLink(const PathGraph* g, uint32_t h, const SlotView& v, Link&& link) {
  switch (v.kind) {
    case kSlotClassObject: {
      // A class object is followed through the statics of the class it describes, not
      // through the fields of java/lang/Class.
      StaticLinks<Link> s = {g, &link, 0};
      walkFieldTable(h, staticLink<Link>, &s);
      return s.stopped;
    }
    case kSlotObject: {
      if (v.info == nullptr || v.info->cls == 0) return 0;
      const FieldRef* fields = classFields(g->classes, v.info);
      const uint32_t count = v.info->fieldCount;
      const HandleSpace space = g->space;
      for (uint32_t i = 0; i < count; i++) {
        uint32_t t = spaceSlot(space, vmRead32(v.body + fields[i].offset));
        if (t != kNoSlot && link(t)) return 1;
      }
      return 0;
    }
    case kSlotArray: {
      const uint32_t length = v.methods >> kLengthShift;
      const HandleSpace space = g->space;
      for (uint32_t i = 0; i < length; i++) {
        uint32_t t = spaceSlot(space, vmRead32(v.body + 4 * i));
        if (t != kNoSlot && link(t)) return 1;
      }
      return 0;
    }
    default:
      return 0;
  }
}

inline int isThreadSlot(const SlotView& v) {
  return v.kind == kSlotObject && v.info != nullptr && v.info->isThread;
}

// Looks up in g->classes the class of every plain object and object array (an array's element
// class), so that what the table works out per class (Reference subclasses) is known before a
// search begins. Returns 0 when the table failed.
int noteSlotClasses(const PathGraph* g);

// Offers the stack links of a thread slot to link(t), in scan order (every one of them).
typedef void (*StackLinkVisitor)(uint32_t t, void* context);
void forEachStackLink(const PathGraph* g, uint32_t thread, StackLinkVisitor link, void* context);

}  // namespace tv
