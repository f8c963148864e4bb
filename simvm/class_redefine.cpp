// Builder calls for importers of foreign heaps (the HPROF loader): reading back and replacing the
// fields of a class that already exists (the well-known ones), and giving a thread object made
// with newObject its ThreadBlock.
#include "simvm/vm_state.h"

namespace simvm {
namespace {

constexpr uint16_t kAccPublic = 0x0001;
constexpr uint16_t kAccStatic = 0x0008;

// Instance fields continue where the superclass's end: 4 bytes each, 8 for long and double.
// Writes each instance field's offset into its FieldEntry and the size into the descriptor.
void layOut(Vm::State& s, ClassRecord& rec) {
  const ClassRecord* super = s.record(rec.super);
  uint32_t offset = super ? super->instanceSize : 0;
  for (FieldRecord& f : rec.fields) {
    if (f.isStatic) continue;
    f.offset = offset;
    offset += f.width;
    Vm::State::put32(f.entry + 16, f.offset);  // instance field: its offset in the body
  }
  if (offset > 0xFFFF) throw VmError("instances of " + rec.name + " are too large");
  rec.instanceSize = offset;
  Vm::State::put16(rec.descriptor + 82, static_cast<uint16_t>(offset));  // instance size
}

}  // namespace

std::vector<FieldDecl> Vm::fieldsOf(uint32_t cls) const {
  const auto lock = s_->hold();
  std::vector<FieldDecl> out;
  for (const FieldRecord& f : s_->requireClass(cls, "fieldsOf").fields)
    out.push_back(
        FieldDecl{f.name, f.signature, f.isStatic, f.isStatic ? State::get32(f.entry + 16) : 0});
  return out;
}

void Vm::redefineFields(uint32_t cls, const std::vector<FieldDecl>& fields) {
  const auto lock = s_->hold();
  State& s = *s_;
  ClassRecord& rec = s.classes.at(s.requireClass(cls, "redefineFields").handle);
  // Class handles are instances of java/lang/Class, but their bodies are descriptors, which
  // instance fields never describe.
  for (uint32_t h = s.first; h < s.nextSlot; h += kSlotBytes)
    if (!s.record(h) && s.isPlainObject(h) && s.isSubclass(s.classOf(h), cls))
      throw VmError("redefineFields: " + rec.name + " already has instances");
  std::vector<FieldRecord> made = fieldRecords(rec.name, fields);
  const uint32_t n = static_cast<uint32_t>(made.size());
  const uint32_t table = s.alloc(kFieldEntryBytes * (n ? n : 1), 8);
  for (uint32_t i = 0; i < n; ++i) {
    FieldRecord& f = made[i];
    f.entry = table + i * kFieldEntryBytes;
    State::put32(f.entry, cls);                            // declaring class
    State::put32(f.entry + 4, s.putCString(f.signature));  // signature
    State::put32(f.entry + 8, s.putCString(f.name));       // name
    State::put16(f.entry + 12, f.isStatic ? kAccStatic | kAccPublic : kAccPublic);
    State::put32(f.entry + 16, f.isStatic ? fields[i].staticValue : 0);
  }
  rec.fields = std::move(made);
  State::put32(rec.descriptor + 40, table);                     // FieldEntry table
  State::put16(rec.descriptor + 76, static_cast<uint16_t>(n));  // field count

  // Classes are defined after their superclasses, so definition order lays supers out first.
  for (uint32_t c : s.classOrder)
    if (s.isSubclass(c, cls)) layOut(s, s.classes.at(c));
}

void Vm::attachThreadBlock(uint32_t thread) {
  const auto lock = s_->hold();
  State& s = *s_;
  if (!s.isPlainObject(thread) || s.record(thread) || !s.isSubclass(s.classOf(thread), s.wk.thread))
    throw VmError("attachThreadBlock: not a live thread object");
  const uint32_t block = s.alloc(kThreadBlockBytes, 8);  // no frames yet: innermost 0
  State::put32(State::get32(thread) + s.findField(s.wk.thread, "eetop", false)->offset, block);
  s.threadObjects.push_back(thread);
}

}  // namespace simvm
