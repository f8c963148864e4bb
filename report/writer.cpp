#include "report/writer.h"

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

namespace {

// Writes '-' when `negative`, then the digits of `magnitude`. The digits live on the caller's
// stack: two Java threads reporting at once must not share them. Worked out by hand rather than
// by printf, whose formatting machinery costs more than the rest of a record's making.
template <typename Unsigned>
void writeDigits(uint32_t stream, bool negative, Unsigned magnitude) {
  char digits[24];
  char* at = digits + sizeof digits;
  *--at = 0;
  do {
    *--at = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--at = '-';
  writeText(stream, at);
}

}  // namespace

// The magnitude is taken in unsigned arithmetic, so that the most negative value has one too.
void writeDecimal(uint32_t stream, int32_t n) {
  writeDigits(stream, n < 0, n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n));
}

void writeDecimal64(uint32_t stream, int64_t n) {
  writeDigits(stream, n < 0,
              n < 0 ? uint64_t{0} - static_cast<uint64_t>(n) : static_cast<uint64_t>(n));
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
  for (int32_t i = 0; i < listCount(list); i++)
    free(reinterpret_cast<HeapEntry*>(listGet(list, i)));
}

int isWritableStream(uint32_t stream) { return isObject(stream); }

}  // namespace tv
