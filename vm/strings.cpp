#include "vm/strings.h"

#include <string.h>

#include "vm/handles.h"
#include "vm/services.h"

namespace tv {

const char* javaStringBytes(uint32_t string) {
  if (!isObject(string)) return nullptr;
  const char* name = className(classOf(string));
  if (name == nullptr || strcmp(name, "java/lang/String") != 0) return nullptr;
  return makeCString(string);
}

}  // namespace tv
