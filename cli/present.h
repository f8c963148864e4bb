// Pieces every query command presents its answer with: counted nouns, handles with their
// class, dump ids, and the table of report records (classes, instances, refs, referrers).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/format.h"
#include "cli/session.h"
#include "simvm/library.h"

namespace cli {

// "1 record", "3 records".
std::string plural(size_t n, const char* one, const char* many);

// "[I" -> "int[]", "[[Ljava/lang/String;" -> "java/lang/String[][]"; other names unchanged.
std::string arrayTypeName(const std::string& name);

// "0x7b (com/acme/shop/Session)", "0x7c (java/lang/String[])" for an object array, "0x7d
// (int[][])" for an array of int arrays.
std::string describeHandle(Session& s, uint32_t h);

// A class prefix as people write it: "com.acme." means "com/acme/".
std::string slashPrefix(std::string prefix);

// "@1a2b" for an object of a loaded dump; nullopt otherwise.
std::optional<std::string> dumpIdText(Session& s, uint32_t h);
// The dump id as a table cell ("-" when the object has none); nothing without a dump.
void addDumpId(Session& s, uint32_t h, std::vector<std::string>& row);
void addDumpId(Session& s, uint32_t h, Table& t);  // a cell of the table's current row
// "dumpId": "0x1a2b" (or null) in a JSON record; nothing without a dump.
void addDumpIdJson(Session& s, uint32_t h, JsonObject& o);

int64_t parseDecimal(const std::string& text);

// What a report record's detail holds.
enum class Detail { None, Count, Link };

struct ReportView {
  Detail detail = Detail::None;
  // For links: whether the holder of record r is a class (its names are static fields).
  std::function<bool(const simvm::Record&)> holderIsClass;
  std::string summary;          // printed under the table (or alone when it is empty)
  std::optional<size_t> limit;  // --limit: the rows shown
  size_t skip = 0;              // --skip: the rows left out before them
  // A retained-size column, when set: a record's figure, or none ("-", null).
  std::function<std::optional<uint64_t>(const simvm::Record&)> retained;
  // A census of a dump: the bytes the dump holds for a record's objects (a "dump bytes" column,
  // "dumpBytes" in JSON); unset otherwise.
  std::function<std::optional<uint64_t>(const simvm::Record&)> dumpBytes;
  // A report of part of a list: its records are the list's rows from `offset` on (those --skip
  // and --limit show, at least), of `total` rows in all; the caller records the rows for $1, $2.
  size_t offset = 0;
  std::optional<size_t> total;
};

// " (the first 5 shown)" after a total, when a limit hides rows; " (rows 11 to 15 shown)" when
// the first 10 are skipped; "" when all are shown.
std::string shownNote(size_t total, std::optional<size_t> limit, size_t skip = 0);

// The rows [first, end) of `total` that --skip and --limit leave.
struct ShownRows {
  size_t first, end;
};
ShownRows shownRows(size_t total, std::optional<size_t> limit, size_t skip);

// Refuses, unless the command writes the library's bytes (--raw), a handle that is no class,
// object or array of the heap: the queries would answer for it as if it were one.
void requireHeapHandle(Session& s, uint32_t h, const Invocation& inv);

// Writes a report as the mode asks: the library's bytes, a JSON array, or a numbered table
// with the summary line under it. Records the rows for $1, $2, ...
int presentReport(Session& s, const simvm::Report& report, const ReportView& view, OutputMode mode,
                  std::ostream& out);

}  // namespace cli
