#include "vm/handles.h"

#include <atomic>

#include "vm/accepted_space.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/services.h"

namespace tv {

namespace {

// Kept once FindClass has found it; a 0 answer is asked again on the next call. Any caller
// may fill it; all of them store the same handle.
std::atomic<uint32_t> g_classClass{0};

// h when it is a slot of the handle space whose body is not 0, else 0. Every handle value is
// passed through here before the slot it names is read.
inline uint32_t liveOrZero(uint32_t h) {
  if (h == 0 || !handleInAcceptedSpace(h)) return 0;
  return vmRead32(h + kHandleBody) != 0 ? h : 0;
}

inline uint32_t descriptorOrZero(uint32_t c) {
  return liveOrZero(c) ? vmRead32(c + kHandleBody) : 0;
}

inline char signatureStart(uint32_t entry) {
  uint32_t signature = vmRead32(entry + kFieldSignature);
  return signature ? vmString(signature)[0] : 0;
}

}  // namespace

uint32_t handleBody(uint32_t h) { return vmRead32(h + kHandleBody); }
uint32_t handleMethods(uint32_t h) { return vmRead32(h + kHandleMethods); }
uint32_t arrayTypeCode(uint32_t h) { return handleMethods(h) & kTypeCodeMask; }
uint32_t arrayLength(uint32_t h) { return handleMethods(h) >> kLengthShift; }
// The body word is read once and checked: the slot may have been freed (body 0) since the
// caller found it live.
uint32_t arrayElement(uint32_t h, uint32_t index) {
  uint32_t body = handleBody(h);
  return body ? vmRead32(body + 4 * index) : 0;
}

int isLive(uint32_t h) { return liveOrZero(h) != 0; }
int isObject(uint32_t h) { return isLive(h) && arrayTypeCode(h) == kTypeObject; }
int isObjectArray(uint32_t h) { return isLive(h) && arrayTypeCode(h) == kTypeObjectArray; }

uint32_t classClassHandle(void) {
  uint32_t known = g_classClass.load(std::memory_order_relaxed);
  if (known != 0) return known;
  known = FindClass(nullptr, "java/lang/Class", 1);
  g_classClass.store(known, std::memory_order_relaxed);
  return known;
}

uint32_t classOf(uint32_t h) {
  if (!isLive(h)) return 0;
  uint32_t methods = handleMethods(h);
  switch (methods & kTypeCodeMask) {
    case kTypeObject:
      return liveOrZero(vmRead32(methods + kMethodTableClass));
    case kTypeObjectArray:  // the element class follows the last element
      return liveOrZero(arrayElement(h, methods >> kLengthShift));
    default:
      return 0;
  }
}

int isClassObject(uint32_t h) {
  if (!isObject(h)) return 0;
  uint32_t classClass = classClassHandle();
  return classClass != 0 && vmRead32(handleMethods(h) + kMethodTableClass) == classClass;
}

int isArrayOfArrays(uint32_t h) {
  if (!isObjectArray(h)) return 0;
  const char* name = className(classOf(h));
  return name && name[0] == '[';
}

uint32_t classDescriptor(uint32_t c) { return descriptorOrZero(c); }

uint32_t classNameAddress(uint32_t c) {
  uint32_t descriptor = descriptorOrZero(c);
  return descriptor ? vmRead32(descriptor + kClassName) : 0;
}

const char* className(uint32_t c) {
  uint32_t address = classNameAddress(c);
  return address ? vmString(address) : nullptr;
}

uint32_t superclassOf(uint32_t c) {
  uint32_t descriptor = descriptorOrZero(c);
  return descriptor ? liveOrZero(vmRead32(descriptor + kClassSuper)) : 0;
}

uint32_t classFieldCount(uint32_t c) {
  uint32_t descriptor = descriptorOrZero(c);
  return descriptor ? vmRead16(descriptor + kClassFieldCount) : 0;
}

uint32_t classFieldEntry(uint32_t c, uint32_t i) {
  uint32_t descriptor = descriptorOrZero(c);
  return descriptor ? vmRead32(descriptor + kClassFields) + kFieldEntrySize * i : 0;
}

uint32_t classInstanceSize(uint32_t c) {
  uint32_t descriptor = descriptorOrZero(c);
  return descriptor ? vmRead16(descriptor + kClassInstanceSize) : 0;
}

int fieldIsStatic(uint32_t entry) {
  return (vmRead16(entry + kFieldAccess) & kFieldAccStatic) != 0;
}

int fieldIsReference(uint32_t entry) {
  char c = signatureStart(entry);
  return c == 'L' || c == '[';
}

int fieldIsArray(uint32_t entry) { return signatureStart(entry) == '['; }

uint32_t fieldNameAddress(uint32_t entry) { return vmRead32(entry + kFieldName); }
uint32_t fieldStaticValue(uint32_t entry) { return vmRead32(entry + kFieldValue); }

uint32_t fieldInstanceValue(uint32_t entry, uint32_t holder) {
  uint32_t body = handleBody(holder);  // 0 once the holder is freed
  return body ? vmRead32(body + vmRead32(entry + kFieldValue)) : 0;
}

int walkClassChain(uint32_t c, ClassVisitor visit, void* context) {
  for (int depth = 0; c != 0 && depth < kMaxClassDepth; depth++, c = superclassOf(c))
    if (!visit(c, context)) return 0;
  return 1;
}

namespace {
int isNot(uint32_t c, void* ancestor) { return c != *static_cast<uint32_t*>(ancestor); }
}  // namespace

int chainIncludes(uint32_t c, uint32_t ancestor) {
  return ancestor != 0 && !walkClassChain(c, isNot, &ancestor);
}

void walkFieldTable(uint32_t c, FieldVisitor visit, void* context) {
  uint32_t count = classFieldCount(c);
  for (uint32_t i = 0; i < count; i++) visit(classFieldEntry(c, i), context);
}

}  // namespace tv
