#include "queries/describe.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vm/handles.h"
#include "vm/handlespace.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/services.h"

namespace tv {

namespace {

// Descriptions, errors and arrays fit this buffer; an object's gets room for its toString text
// as well. Whatever still does not fit is cut off at the end of the buffer.
constexpr size_t kTextSize = 1024;

// Shown where a class or a name pointer is 0.
constexpr const char* kUnknown = "<unknown>";

inline const char* orUnknown(const char* s) { return s ? s : kUnknown; }

inline const char* stringAt(uint32_t address) { return address ? vmString(address) : nullptr; }

uint32_t javaText(const char* text) {
  return makeJavaString(text, static_cast<int32_t>(strlen(text)));
}

uint32_t describeObject(uint32_t h) {
  uint32_t string = static_cast<uint32_t>(
      execute_java_dynamic_method(nullptr, h, "toString", "()Ljava/lang/String;"));
  if (string == 0) string = makeJavaString("null", 4);
  const char* text = string ? makeCString(string) : nullptr;
  if (!text) text = "null";
  int32_t length = string ? javaStringLength(string) : 0;
  // Twice the character count leaves room for most UTF-8 texts; snprintf cuts the rest.
  size_t size = 2 * static_cast<size_t>(length > 0 ? length : 0) + kTextSize;
  char fallback[kTextSize];
  char* buffer = static_cast<char*>(malloc(size));
  if (!buffer) {
    buffer = fallback;
    size = sizeof fallback;
  }
  snprintf(buffer, size, "OBJECT %x %s %x %s", h, orUnknown(className(classOf(h))),
           handleBody(h), text);
  uint32_t result = javaText(buffer);
  if (buffer != fallback) free(buffer);
  return result;
}

}  // namespace

// A handle from Java is checked against the handle space before anything is read through it.
// The start of the space probed by earlier queries is reused, so describing costs no walk.
uint32_t getClassInfo(uint32_t h) {
  refreshHandleSpace();
  char text[kTextSize];
  uint32_t descriptor = isClassObject(h) ? classDescriptor(h) : 0;  // 0 once freed
  if (descriptor != 0) {
    snprintf(text, sizeof text, "CLASS %s %x %s %d %d %d %d %s",
             orUnknown(className(h)), descriptor,
             orUnknown(stringAt(vmRead32(descriptor + kClassSecondName))),
             vmRead16(descriptor + kClassFieldCount), vmRead16(descriptor + kClassInstanceSize),
             vmRead16(descriptor + kClassMethodCount), vmRead16(descriptor + kClassInterfaceCount),
             (vmRead16(descriptor + kClassFlags) & kClassFlagShown) ? "true" : "false");
  } else {
    snprintf(text, sizeof text, "%s handle %x is not a valid class", "ERROR", h);
  }
  return javaText(text);
}

uint32_t getHandleInfo(uint32_t h) {
  refreshHandleSpace();
  // An object whose class word is no class handle is not handed to toString: calling Java
  // code through a broken method table could bring the VM down.
  if (isObject(h) && classOf(h) != 0) return describeObject(h);
  char text[kTextSize];
  if (isObjectArray(h)) {
    snprintf(text, sizeof text, "ARRAY %x %s %x %d", h, orUnknown(className(classOf(h))),
             handleBody(h), static_cast<int>(arrayLength(h)));
  } else {
    snprintf(text, sizeof text, "%s handle %x isn't a valid object", "ERROR", h);
  }
  return javaText(text);
}

}  // namespace tv
