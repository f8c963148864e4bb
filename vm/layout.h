// Every offset and width the library reads in VM memory. All words are 32-bit little-endian;
// all addresses are 32-bit VM addresses (see vm/memory.h for how one becomes a pointer).
#pragma once
#include <stdint.h>

namespace tv {

// Handle: an 8-byte slot in the handle table; a handle value is the slot's address.
constexpr uint32_t kHandleSize = 8;
constexpr uint32_t kHandleBody = 0;  // u32: address of the data; 0 = free slot
constexpr uint32_t kHandleMethods =
    4;  // u32: object: MethodTable address; array: (length << 5) | typeCode
constexpr uint32_t kTypeCodeMask = 0x1F;
constexpr uint32_t kLengthShift = 5;

// Array type codes (low five bits of the methods word).
constexpr uint32_t kTypeObject = 0;  // plain object
constexpr uint32_t kTypeObjectArray = 2;
constexpr uint32_t kTypeBoolean = 4;
constexpr uint32_t kTypeChar = 5;
constexpr uint32_t kTypeFloat = 6;
constexpr uint32_t kTypeDouble = 7;
constexpr uint32_t kTypeByte = 8;
constexpr uint32_t kTypeShort = 9;
constexpr uint32_t kTypeInt = 10;
constexpr uint32_t kTypeLong = 11;

// MethodTable of a plain object.
constexpr uint32_t kMethodTableClass = 0;  // u32: handle of the object's class

// ClassDescriptor: the body of a class handle.
constexpr uint32_t kClassName = 4;        // u32: address of the slash-form name, NUL-terminated
constexpr uint32_t kClassSecondName = 8;  // u32: address of a second name (class description only)
constexpr uint32_t kClassSuper = 16;      // u32: superclass handle; 0 at the root
constexpr uint32_t kClassFields = 40;     // u32: address of the FieldEntry table
constexpr uint32_t kClassMethodCount = 74;     // u16: methods (shown by the class description)
constexpr uint32_t kClassFieldCount = 76;      // u16: entries in the FieldEntry table
constexpr uint32_t kClassInterfaceCount = 80;  // u16: interfaces (shown by the class description)
constexpr uint32_t kClassInstanceSize = 82;    // u16: bytes in an instance's body
constexpr uint32_t kClassFlags = 86;           // u16: flag word
constexpr uint32_t kClassFlagShown = 0x400;    // the flag bit the class description shows

// FieldEntry: 20 bytes per field declared by the class itself.
constexpr uint32_t kFieldEntrySize = 20;
constexpr uint32_t kFieldSignature =
    4;                              // u32: address of the type signature ('L' or '[' = reference)
constexpr uint32_t kFieldName = 8;  // u32: address of the field name
constexpr uint32_t kFieldAccess = 12;  // u16: access flags
constexpr uint32_t kFieldAccStatic = 0x0008;
constexpr uint32_t kFieldValue =
    16;  // u32: static: the value itself; instance: byte offset in the body

// Threads: the thread object's body word 12 leads to the thread's frames.
constexpr uint32_t kThreadBlock = 12;       // thread body, u32: ThreadBlock address or 0
constexpr uint32_t kBlockInnermost = 8;     // ThreadBlock, u32: innermost Frame or 0
constexpr uint32_t kFrameLocals = 12;       // Frame, u32: address of the local-variable slots
constexpr uint32_t kFrameOuter = 16;        // Frame, u32: next outer Frame, 0 after the outermost
constexpr uint32_t kFrameMethod = 28;       // Frame, u32: MethodBlock address or 0
constexpr uint32_t kMethodName = 8;         // MethodBlock, u32: address of the method name
constexpr uint32_t kMethodLocalCount = 60;  // MethodBlock, u16: number of local-variable slots

// The handle table ends this many bytes below the descriptor of the anchor class.
constexpr uint32_t kAnchorDistance = 2408;
constexpr const char* kAnchorClass = "java/lang/NoClassDefFoundError";

}  // namespace tv
