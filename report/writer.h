// The report stream: bytes sent one at a time to the Java output stream's write(int).
//
//   report := count NUL record*          count: ASCII decimal number of records
//   record := kind ' ' handle ' ' className [' ' detail] NUL
//     kind       C (class object), I (instance) or A (object array)
//     handle     signed decimal, so handles at or above 2 GB are negative
//     detail     a field name, a method name followed by "()", or a decimal count/index
//
// Every byte reaches write(int) widened as a signed 8-bit value (0x80..0xFF as -128..-1).
// The result of write is ignored; every remaining byte is still written.
#pragma once
#include <stdint.h>
#include "report/entry.h"
#include "support/ptrlist.h"

namespace tv {

void writeByte(uint32_t stream, char c);
void writeDecimal(uint32_t stream, int32_t n);  // per-call buffer: safe across threads
void writeDecimal64(uint32_t stream, int64_t n);
void writeText(uint32_t stream, const char* s);  // without the terminator; null writes nothing
void writeEntry(uint32_t stream, const HeapEntry* e);
// count, NUL, then each entry in list order; each entry is freed once written.
void writeEntryList(uint32_t stream, PtrList* list);
// Frees every entry a list holds (for a report that is dropped instead of written).
void freeEntries(PtrList* list);

// 1 when stream is a live object a report can be written to. Queries write nothing otherwise.
int isWritableStream(uint32_t stream);

}  // namespace tv
