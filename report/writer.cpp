#include "report/writer.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

#include "vm/handles.h"
#include "vm/memory.h"
#include "vm/services.h"

namespace tv {

namespace {
// What a record says for a class whose name pointer is 0.
constexpr const char* kUnknownName = "<unknown>";
}  // namespace

void writeByte(uint32_t stream, char c) {
  execute_java_dynamic_method(nullptr, stream, "write", "(I)V",
                              static_cast<int32_t>(static_cast<signed char>(c)));
}

void writeText(uint32_t stream, const char* s) {
  if (!s) return;
  for (; *s; s++) writeByte(stream, *s);
}

// The digits live on the caller's stack: two Java threads reporting at once must not share them.
void writeDecimal(uint32_t stream, int32_t n) {
  char digits[16];
  snprintf(digits, sizeof digits, "%" PRId32, n);
  writeText(stream, digits);
}

void writeDecimal64(uint32_t stream, int64_t n) {
  char digits[24];
  snprintf(digits, sizeof digits, "%" PRId64, n);
  writeText(stream, digits);
}

void writeEntry(uint32_t stream, const HeapEntry* e) {
  writeByte(stream, e->kind);
  writeByte(stream, ' ');
  writeDecimal(stream, static_cast<int32_t>(e->handle));
  writeByte(stream, ' ');
  writeText(stream, e->className ? vmString(e->className) : kUnknownName);
  if (e->detailIsName) {
    writeByte(stream, ' ');
    writeText(stream, e->detail ? vmString(static_cast<uint32_t>(e->detail)) : kUnknownName);
    if (e->methodSuffix) writeText(stream, "()");
  } else if (e->detail >= 0) {
    writeByte(stream, ' ');
    writeDecimal(stream, e->detail);
  }
  writeByte(stream, 0);
}

void writeEntryList(uint32_t stream, PtrList* list) {
  int32_t count = list ? listCount(list) : 0;
  writeDecimal(stream, count);
  writeByte(stream, 0);
  for (int32_t i = 0; i < count; i++) {
    HeapEntry* e = reinterpret_cast<HeapEntry*>(listGet(list, i));
    writeEntry(stream, e);
    free(e);
  }
}

void freeEntries(PtrList* list) {
  if (!list) return;
  for (int32_t i = 0; i < listCount(list); i++) free(reinterpret_cast<HeapEntry*>(listGet(list, i)));
}

int isWritableStream(uint32_t stream) { return isObject(stream); }

}  // namespace tv
