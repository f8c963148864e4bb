// Predicates over handle values and the walk up a class chain. Each predicate returns 0 or 1
// and accepts any 32-bit value: a value that is not a handle inside the handle space (see
// handleInSpace) is treated like a free slot.
#pragma once
#include <stdint.h>

namespace tv {

int isLive(uint32_t h);           // a slot inside the handle space whose body is not 0
int isObject(uint32_t h);         // live, type code 0
int isObjectArray(uint32_t h);    // live, type code 2
int isArrayOfArrays(uint32_t h);  // object array whose element class name begins with '['
int isClassObject(uint32_t h);    // object whose class is java/lang/Class (handle cached)
uint32_t classOf(uint32_t h);     // object: its class; object array: element class; else 0

// Raw reads of a slot; callers test isLive first.
uint32_t handleBody(uint32_t h);
uint32_t handleMethods(uint32_t h);
uint32_t arrayTypeCode(uint32_t h);
uint32_t arrayLength(uint32_t h);
uint32_t arrayElement(uint32_t h,
                      uint32_t index);  // object arrays only; index < length; 0 once freed

// Class handles (callers pass a class handle they got from classOf, a superclass link, or a
// class object).
uint32_t classDescriptor(uint32_t c);   // body of the class handle
const char* className(uint32_t c);      // null when the name pointer is 0 or c is no handle
uint32_t classNameAddress(uint32_t c);  // the name pointer itself (a map key); 0 if none
uint32_t superclassOf(uint32_t c);      // 0 at the root, or when the link is no valid handle
uint32_t classFieldCount(uint32_t c);
uint32_t classFieldEntry(uint32_t c, uint32_t i);  // address of FieldEntry i
uint32_t classInstanceSize(uint32_t c);

// FieldEntry accessors (entry = address from classFieldEntry).
int fieldIsStatic(uint32_t entry);
int fieldIsReference(uint32_t entry);  // signature begins with 'L' or '['
int fieldIsArray(uint32_t entry);      // signature begins with '['
uint32_t fieldNameAddress(uint32_t entry);
uint32_t fieldStaticValue(uint32_t entry);
uint32_t fieldInstanceValue(uint32_t entry,
                            uint32_t holder);  // word at holder.body + offset; 0 once freed

// The handle of java/lang/Class: looked up on first use, kept once non-zero.
uint32_t classClassHandle(void);

// Upper bound on any walk up a superclass chain, so a damaged, looping chain ends.
constexpr int kMaxClassDepth = 1024;

// The one walk up a superclass chain: visits c, then each superclass nearest first, at most
// kMaxClassDepth classes, until a visit returns 0. Returns 0 when a visit stopped it.
typedef int (*ClassVisitor)(uint32_t c, void* context);
int walkClassChain(uint32_t c, ClassVisitor visit, void* context);
// 1 when `ancestor` (not 0) is c itself or one of its superclasses.
int chainIncludes(uint32_t c, uint32_t ancestor);

// The one loop over a class's own FieldEntry table: visits the address of each entry in
// table order, statics and instance fields alike.
typedef void (*FieldVisitor)(uint32_t entry, void* context);
void walkFieldTable(uint32_t c, FieldVisitor visit, void* context);

}  // namespace tv
