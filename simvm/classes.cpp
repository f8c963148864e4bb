// Classes: descriptors, MethodTables, field tables and instance layout.
#include <cstdio>

#include "simvm/vm_state.h"

namespace simvm {
namespace {

constexpr const char* kAnchorClassName = "java/lang/NoClassDefFoundError";
constexpr const char* kRootClassName = "java/lang/Object";
constexpr const char* kClassClassName = "java/lang/Class";
constexpr uint16_t kAccPublic = 0x0001;
constexpr uint16_t kAccStatic = 0x0008;

std::string hexOf(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

bool validSignature(const std::string& sig) {
  return !sig.empty() && std::string("BCDFIJSZL[").find(sig[0]) != std::string::npos;
}

}  // namespace

std::vector<FieldRecord> fieldRecords(const std::string& owner,
                                      const std::vector<FieldDecl>& decls) {
  if (decls.size() > 0xFFFF) throw VmError("too many fields in " + owner);
  std::vector<FieldRecord> made;
  for (const FieldDecl& fs : decls) {
    if (fs.name.empty()) throw VmError("a field of " + owner + " has no name");
    if (!validSignature(fs.signature))
      throw VmError("field " + owner + "." + fs.name + " has a bad signature \"" + fs.signature +
                    "\"");
    for (const FieldRecord& other : made)
      if (other.name == fs.name) throw VmError("field " + fs.name + " declared twice");
    FieldRecord f;
    f.name = fs.name;
    f.signature = fs.signature;
    f.isStatic = fs.isStatic;
    f.width = (fs.signature[0] == 'J' || fs.signature[0] == 'D') ? 8 : 4;
    made.push_back(f);
  }
  return made;
}

const ClassRecord* Vm::State::record(uint32_t cls) const {
  auto it = classes.find(cls);
  return it == classes.end() ? nullptr : &it->second;
}

const ClassRecord& Vm::State::requireClass(uint32_t cls, const char* what) const {
  const ClassRecord* rec = record(cls);
  if (!rec) throw VmError(std::string(what) + ": " + hexOf(cls) + " is not a class handle");
  return *rec;
}

const FieldRecord* Vm::State::findField(uint32_t cls, const std::string& name,
                                        bool isStatic) const {
  for (const ClassRecord* rec = record(cls); rec; rec = record(rec->super))
    for (const FieldRecord& f : rec->fields)
      if (f.name == name && f.isStatic == isStatic) return &f;
  return nullptr;
}

bool Vm::State::isSubclass(uint32_t cls, uint32_t ancestor) const {
  for (const ClassRecord* rec = record(cls); rec; rec = record(rec->super))
    if (rec->handle == ancestor) return true;
  return false;
}

uint32_t Vm::defineClass(const ClassDecl& decl) {
  const auto lock = s_->hold();
  State& s = *s_;
  if (decl.name.empty()) throw VmError("a class needs a name");
  const bool nameTaken = s.classByName.count(decl.name) != 0;
  if (nameTaken && !decl.sharedName) throw VmError("class " + decl.name + " is already defined");
  uint32_t super = decl.super;
  if (super == 0 && decl.name != kRootClassName) {
    auto root = s.classByName.find(kRootClassName);
    if (root == s.classByName.end()) throw VmError("java/lang/Object must be defined first");
    super = root->second;
  }
  const ClassRecord* superRec = super ? &s.requireClass(super, "superclass") : nullptr;

  ClassRecord rec;
  rec.name = decl.name;
  rec.super = super;
  rec.fields = fieldRecords(decl.name, decl.fields);
  // Instance fields continue where the superclass's end: 4 bytes each, 8 for long and double.
  uint32_t offset = superRec ? superRec->instanceSize : 0;
  for (FieldRecord& f : rec.fields) {
    if (f.isStatic) continue;
    f.offset = offset;
    offset += f.width;
  }
  if (offset > 0xFFFF) throw VmError("instances of " + decl.name + " are too large");
  rec.instanceSize = offset;

  // The anchor's descriptor sits at its fixed place above the table; the others in the arena.
  // A second class of the same name (another loader's) gets ordinary places.
  const bool anchor = decl.name == kAnchorClassName && !s.anchorPlaced;
  const bool classClass = decl.name == kClassClassName && State::get32(s.classMethodTable) == 0;
  const uint32_t desc = anchor ? s.end + kAnchorGap : s.alloc(kDescriptorBytes, 8);
  const uint32_t mt =
      classClass ? s.classMethodTable : s.alloc(kMethodTableBytes, kMethodTableBytes);
  const uint32_t name = decl.noName ? 0 : s.putCString(decl.name);
  const uint32_t second = s.putCString(decl.secondName);
  const uint32_t n = static_cast<uint32_t>(rec.fields.size());
  const uint32_t table = s.alloc(kFieldEntryBytes * (n ? n : 1), 8);
  std::vector<std::pair<uint32_t, uint32_t>> strings;  // signature, name
  for (const FieldRecord& f : rec.fields)
    strings.emplace_back(s.putCString(f.signature), s.putCString(f.name));

  const uint32_t h = s.newSlot(desc, s.classMethodTable);
  rec.handle = h;
  rec.descriptor = desc;
  rec.methodTable = mt;
  State::put32(desc + 4, name);                       // class name
  State::put32(desc + 8, second);                     // second name (source file)
  State::put32(desc + 16, super);                     // superclass handle
  State::put32(desc + 36, mt);                        // the class's MethodTable (our own use)
  State::put32(desc + 40, table);                     // FieldEntry table
  State::put16(desc + 74, decl.methodCount);          // method count
  State::put16(desc + 76, static_cast<uint16_t>(n));  // field count
  State::put16(desc + 80, decl.interfaceCount);       // interface count
  State::put16(desc + 82, static_cast<uint16_t>(rec.instanceSize));  // instance size
  State::put16(desc + 86, decl.accessFlags);                         // access flags
  State::put32(mt, h);  // MethodTable word 0: the class
  for (uint32_t i = 0; i < n; ++i) {
    FieldRecord& f = rec.fields[i];
    const uint32_t e = table + i * kFieldEntryBytes;
    f.entry = e;
    State::put32(e, h);                      // declaring class
    State::put32(e + 4, strings[i].first);   // signature
    State::put32(e + 8, strings[i].second);  // name
    State::put16(e + 12, f.isStatic ? kAccStatic | kAccPublic : kAccPublic);
    State::put32(e + 16, f.isStatic ? decl.fields[i].staticValue : f.offset);
  }
  s.anchorPlaced = s.anchorPlaced || anchor;
  s.classOrder.push_back(h);
  s.classByName.emplace(decl.name, h);  // a shared name keeps finding the first class
  s.classes.emplace(h, std::move(rec));
  return h;
}

uint32_t Vm::findClass(const std::string& name) const {
  const auto lock = s_->hold();
  std::string slash = name;
  for (char& c : slash)
    if (c == '.') c = '/';
  auto it = s_->classByName.find(slash);
  return it == s_->classByName.end() ? 0 : it->second;
}

void Vm::hideClass(const std::string& name) {
  const auto lock = s_->hold();
  s_->classByName.erase(name);
}

uint32_t Vm::arrayClassOf(uint32_t elementClass) {
  const auto lock = s_->hold();
  const std::string& element = s_->requireClass(elementClass, "arrayClassOf").name;
  const std::string name = element[0] == '[' ? "[" + element : "[L" + element + ";";
  if (uint32_t known = findClass(name)) return known;
  ClassDecl decl;
  decl.name = name;
  decl.accessFlags = 0x0411;  // public final abstract, as the VM marks array classes
  return defineClass(decl);
}

std::string Vm::className(uint32_t cls) const {
  const auto lock = s_->hold();
  return s_->requireClass(cls, "className").name;
}
uint32_t Vm::superclassOf(uint32_t cls) const {
  const auto lock = s_->hold();
  return s_->requireClass(cls, "superclassOf").super;
}
uint32_t Vm::descriptorOf(uint32_t cls) const {
  const auto lock = s_->hold();
  return s_->requireClass(cls, "descriptorOf").descriptor;
}
std::vector<uint32_t> Vm::classes() const {
  const auto lock = s_->hold();
  return s_->classOrder;
}
uint32_t Vm::instanceSize(uint32_t cls) const {
  const auto lock = s_->hold();
  return s_->requireClass(cls, "instanceSize").instanceSize;
}

uint32_t Vm::fieldOffset(uint32_t cls, const std::string& field) const {
  const auto lock = s_->hold();
  const ClassRecord& rec = s_->requireClass(cls, "fieldOffset");
  const FieldRecord* f = s_->findField(cls, field, false);
  if (!f) throw VmError("no instance field " + field + " in " + rec.name);
  return f->offset;
}

uint32_t Vm::staticEntry(uint32_t cls, const std::string& field) const {
  const auto lock = s_->hold();
  const ClassRecord& rec = s_->requireClass(cls, "staticEntry");
  const FieldRecord* f = s_->findField(cls, field, true);
  if (!f) throw VmError("no static field " + field + " in " + rec.name);
  return f->entry;
}

void Vm::setStatic(uint32_t cls, const std::string& field, uint32_t value) {
  const auto lock = s_->hold();
  State::put32(staticEntry(cls, field) + 16, value);  // a static's value lives in its entry
}

uint32_t Vm::getStatic(uint32_t cls, const std::string& field) const {
  const auto lock = s_->hold();
  return State::get32(staticEntry(cls, field) + 16);
}

bool Vm::isClassHandle(uint32_t h) const {
  const auto lock = s_->hold();
  return s_->record(h) != nullptr;
}

}  // namespace simvm
