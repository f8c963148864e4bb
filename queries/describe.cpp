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

// Descriptions, errors and arrays fit this buffer (a class line longer than it is cut off at its
// end); an object's gets room for its class name and toString text as well.
constexpr size_t kTextSize = 1024;

// Shown where a class or a name pointer is 0.
constexpr const char* kUnknown = "<unknown>";

inline const char* orUnknown(const char* s) { return s ? s : kUnknown; }

inline const char* stringAt(uint32_t address) { return address ? vmString(address) : nullptr; }

uint32_t javaText(const char* text) {
  return makeJavaString(text, static_cast<int32_t>(strlen(text)));
}

// Backs the end of text[0, n) off to the start of a UTF-8 character cut through at n.
size_t wholeCharacters(const char* text, size_t n) {
  size_t start = n;
  while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) --start;
  if (start == 0) return n;
  const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
  const size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return n - (start - 1) >= want ? n : start - 1;
}

uint32_t describeObject(uint32_t h) {
  uint32_t string = static_cast<uint32_t>(
      execute_java_dynamic_method(nullptr, h, "toString", "()Ljava/lang/String;"));
  if (string == 0) string = makeJavaString("null", 4);
  const char* text = string ? makeCString(string) : nullptr;
  if (!text) text = "null";
  int32_t length = string ? javaStringLength(string) : 0;
  const char* name = orUnknown(className(classOf(h)));
  // Room for the text's own bytes and the class name, whatever the characters' widths, so no
  // description is cut; never less than twice the character count plus kTextSize, which it
  // always had.
  size_t size = 2 * static_cast<size_t>(length > 0 ? length : 0) + kTextSize;
  const size_t needed = strlen(text) + strlen(name) + kTextSize;
  if (needed > size) size = needed;
  char fallback[kTextSize];
  char* buffer = static_cast<char*>(malloc(size));
  if (!buffer) {
    buffer = fallback;
    size = sizeof fallback;
  }
  int written = snprintf(buffer, size, "OBJECT %x %s %x %s", h, name, handleBody(h), text);
  if (written >= 0 &&
      static_cast<size_t>(written) >= size)  // cut short (no memory): whole characters
    buffer[wholeCharacters(buffer, size - 1)] = '\0';
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
    snprintf(text, sizeof text, "CLASS %s %x %s %d %d %d %d %s", orUnknown(className(h)),
             descriptor, orUnknown(stringAt(vmRead32(descriptor + kClassSecondName))),
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
