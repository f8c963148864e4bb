// Plain objects, arrays and their elements, references, and freeing slots.
#include <algorithm>

#include "simvm/vm_state.h"

namespace simvm {

uint32_t primitiveElementSize(int32_t typeCode) {
  switch (typeCode) {
    case kBoolean:
    case kByte:
      return 1;
    case kChar:
    case kShort:
      return 2;
    case kFloat:
    case kInt:
      return 4;
    case kDouble:
    case kLong:
      return 8;
    default:
      return 0;
  }
}

namespace {

struct PrimitiveType {
  int32_t code;
  char letter;
  const char* name;
};

constexpr PrimitiveType kPrimitiveTypes[] = {
    {kBoolean, 'Z', "boolean"}, {kChar, 'C', "char"}, {kFloat, 'F', "float"},
    {kDouble, 'D', "double"},   {kByte, 'B', "byte"}, {kShort, 'S', "short"},
    {kInt, 'I', "int"},         {kLong, 'J', "long"},
};

const PrimitiveType* primitiveType(int32_t typeCode) {
  for (const PrimitiveType& t : kPrimitiveTypes)
    if (t.code == typeCode) return &t;
  return nullptr;
}

}  // namespace

char primitiveLetter(int32_t typeCode) {
  const PrimitiveType* t = primitiveType(typeCode);
  return t ? t->letter : 0;
}

const char* primitiveName(int32_t typeCode) {
  const PrimitiveType* t = primitiveType(typeCode);
  return t ? t->name : nullptr;
}

uint32_t Vm::State::classOf(uint32_t h) const {
  if (!live(h)) return 0;
  const uint32_t body = get32(h);
  const uint32_t methods = get32(h + 4);
  uint32_t cls = 0;
  switch (typeCodeOfWord(methods)) {
    case kObject:
      if (!readable(methods, 4)) return 0;
      cls = get32(methods);  // MethodTable word 0
      break;
    case kObjectArray: {
      const uint64_t at = uint64_t(body) + 4ull * lengthOfWord(methods);  // element class word
      if (at > 0xFFFFFFFFull || !readable(static_cast<uint32_t>(at), 4)) return 0;
      cls = get32(static_cast<uint32_t>(at));
      break;
    }
    default:
      return 0;
  }
  return record(cls) ? cls : 0;
}

bool Vm::State::isString(uint32_t h) const { return isPlainObject(h) && classOf(h) == wk.string; }

namespace {

struct ArrayView {
  uint32_t body, length;
  int32_t type;
};

}  // namespace

uint32_t Vm::State::makeObject(const ClassRecord& rec) {
  if (rec.handle == wk.klass) throw VmError("class objects are made by defineClass");
  if (rec.name[0] == '[') throw VmError(rec.name + " is an array class: use newObjectArray");
  return newSlot(alloc(std::max<uint32_t>(8, rec.instanceSize), 8), rec.methodTable);
}

uint32_t Vm::State::makeObjectArray(uint32_t elementClass, uint32_t length, bool classWord) {
  if (length > kMaxArrayLength) throw VmError("array too long");
  // The elements, then one more word: the element class.
  const uint32_t body = alloc(std::max<uint32_t>(8, (length + 1) * 4), 8);
  if (classWord) put32(body + 4 * length, elementClass);
  return newSlot(body, (length << 5) | kObjectArray);
}

uint32_t Vm::newObject(uint32_t cls) {
  const auto lock = s_->hold();
  return s_->makeObject(s_->requireClass(cls, "newObject"));
}

void Vm::newMany(const NewRequest* requests, size_t count, uint32_t* handles) {
  const auto lock = s_->hold();
  State& s = *s_;
  // The classes met so far, direct-mapped by handle: a class is looked up once, not per object.
  // A record's address stays valid while no class is made or removed, as here.
  std::vector<const ClassRecord*> seen(256, nullptr);
  const auto record = [&](uint32_t cls, const char* what) -> const ClassRecord& {
    const ClassRecord*& r = seen[(cls >> 3) & 255];
    if (r == nullptr || r->handle != cls) r = &s.requireClass(cls, what);
    return *r;
  };
  for (size_t i = 0; i < count; ++i) {
    const NewRequest& r = requests[i];
    if (r.typeCode == kObject) {
      handles[i] = s.makeObject(record(r.cls, "newObject"));
    } else if (r.typeCode == kObjectArray) {
      record(r.cls, "newObjectArray");
      handles[i] = s.makeObjectArray(r.cls, r.length, !r.classWordLater);
    } else {
      handles[i] = s.makePrimitiveArray(r.typeCode, r.length);
    }
  }
}

namespace {

uint32_t requireObjectClass(const Vm& vm, uint32_t obj, const char* what) {
  const uint32_t cls = vm.classOfObject(obj);
  if (cls == 0 || vm.typeCodeOf(obj) != kObject)
    throw VmError(std::string(what) + ": not a live object");
  return cls;
}

}  // namespace

void Vm::setField(uint32_t obj, const std::string& field, uint32_t value) {
  const auto lock = s_->hold();
  const uint32_t cls = requireObjectClass(*this, obj, "setField");
  const FieldRecord* f = s_->findField(cls, field, false);
  if (!f) throw VmError("no instance field " + field + " in " + className(cls));
  State::put32(State::get32(obj) + f->offset, value);
}

uint32_t Vm::getField(uint32_t obj, const std::string& field) const {
  const auto lock = s_->hold();
  const uint32_t cls = requireObjectClass(*this, obj, "getField");
  const FieldRecord* f = s_->findField(cls, field, false);
  if (!f) throw VmError("no instance field " + field + " in " + className(cls));
  return State::get32(State::get32(obj) + f->offset);
}

uint32_t Vm::State::makePrimitiveArray(int32_t typeCode, uint32_t length) {
  const uint32_t size = primitiveElementSize(typeCode);
  if (size == 0) throw VmError("no array type has code " + std::to_string(typeCode));
  if (length > kMaxArrayLength) throw VmError("array too long");
  const uint32_t body = alloc(std::max<uint32_t>(8, length * size), 8);
  return newSlot(body, (length << 5) | static_cast<uint32_t>(typeCode));
}

uint32_t Vm::newArray(int32_t typeCode, uint32_t length) {
  const auto lock = s_->hold();
  if (typeCode == kObjectArray) return newObjectArray(s_->wk.object, length);
  return s_->makePrimitiveArray(typeCode, length);
}

uint32_t Vm::newObjectArray(uint32_t elementClass, uint32_t length) {
  const auto lock = s_->hold();
  s_->requireClass(elementClass, "newObjectArray");
  return s_->makeObjectArray(elementClass, length);
}

namespace {

ArrayView requireArray(const Vm& vm, uint32_t array, uint32_t index, const char* what) {
  const uint32_t body = vm.bodyOf(array);
  const uint32_t methods = vm.methodsOf(array);
  const int32_t type = typeCodeOfWord(methods);
  if (body == 0 || (type != kObjectArray && primitiveElementSize(type) == 0))
    throw VmError(std::string(what) + ": not a live array");
  const ArrayView a{body, lengthOfWord(methods), type};
  if (index >= a.length)
    throw VmError(std::string(what) + ": index " + std::to_string(index) +
                  " out of bounds for length " + std::to_string(a.length));
  return a;
}

}  // namespace

void Vm::setElement(uint32_t array, uint32_t index, uint32_t value) {
  const auto lock = s_->hold();
  const ArrayView a = requireArray(*this, array, index, "setElement");
  const uint32_t size = a.type == kObjectArray ? 4 : primitiveElementSize(a.type);
  const uint32_t at = a.body + index * size;
  switch (size) {
    case 1:
      *State::ptr(at) = static_cast<uint8_t>(value);
      break;
    case 2:
      State::put16(at, static_cast<uint16_t>(value));
      break;
    case 4:
      State::put32(at, value);
      break;
    default:
      State::put32(at, value);
      State::put32(at + 4, 0);
      break;  // long/double: low word
  }
}

uint32_t Vm::getElement(uint32_t array, uint32_t index) const {
  const auto lock = s_->hold();
  const ArrayView a = requireArray(*this, array, index, "getElement");
  const uint32_t size = a.type == kObjectArray ? 4 : primitiveElementSize(a.type);
  const uint32_t at = a.body + index * size;
  switch (size) {
    case 1:
      return *State::ptr(at);
    case 2:
      return State::get16(at);
    default:
      return State::get32(at);
  }
}

uint32_t Vm::newWeakReference(uint32_t referent, uint32_t cls) {
  const auto lock = s_->hold();
  if (cls == 0) cls = s_->wk.weak;
  if (!s_->isSubclass(cls, s_->wk.reference))
    throw VmError("newWeakReference: " + className(cls) + " is not a java/lang/ref/Reference");
  const uint32_t ref = newObject(cls);
  setField(ref, "referent", referent);
  return ref;
}

void Vm::freeSlot(uint32_t h) {
  const auto lock = s_->hold();
  if (!s_->handedOut(h)) throw VmError("freeSlot: not a handle of this VM");
  State::put32(h, 0);  // a free slot has body 0
}

uint32_t Vm::bodyOf(uint32_t h) const {
  const auto lock = s_->hold();
  if (!s_->handedOut(h)) throw VmError("bodyOf: not a handle of this VM");
  return State::get32(h);
}

uint32_t Vm::methodsOf(uint32_t h) const {
  const auto lock = s_->hold();
  if (!s_->handedOut(h)) throw VmError("methodsOf: not a handle of this VM");
  return State::get32(h + 4);
}

int32_t Vm::typeCodeOf(uint32_t h) const { return typeCodeOfWord(methodsOf(h)); }

uint32_t Vm::arrayLength(uint32_t h) const {
  const uint32_t methods = methodsOf(h);
  return typeCodeOfWord(methods) == kObject ? 0 : lengthOfWord(methods);
}

uint32_t Vm::classOfObject(uint32_t h) const {
  const auto lock = s_->hold();
  return s_->classOf(h);
}

}  // namespace simvm
