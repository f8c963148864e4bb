#include "cli/present.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "cli/links.h"

namespace cli {

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "[I" -> "int[]", "[[Ljava/lang/String;" -> "java/lang/String[][]": an array class's name as
// the element type and its brackets; any other name unchanged.
std::string arrayTypeName(const std::string& name) {
  size_t dims = 0;
  while (dims < name.size() && name[dims] == '[') ++dims;
  if (dims == 0 || dims == name.size()) return name;
  std::string element = name.substr(dims);
  if (element.size() > 2 && element[0] == 'L' && element.back() == ';')
    element = element.substr(1, element.size() - 2);
  else if (element.size() == 1)
    for (int32_t code = simvm::kBoolean; code <= simvm::kLong; ++code)
      if (simvm::primitiveLetter(code) == element[0]) element = simvm::primitiveName(code);
  for (size_t i = 0; i < dims; ++i) element += "[]";
  return element;
}

std::string describeHandle(Session& s, uint32_t h) {
  const char kind = kindOf(s.vm(), h);
  std::string name = reportedClassName(s.vm(), h);  // an object array's element class
  if (kind == 'A') name = name[0] == '[' ? arrayTypeName("[" + name) : name + "[]";
  if (kind == 'P') name = arrayTypeName(name);
  name = printable(name);
  return hexHandle(h) + (name.empty() ? "" : " (" + name + ")");
}

std::string slashPrefix(std::string prefix) {
  for (char& c : prefix)
    if (c == '.') c = '/';
  return prefix;
}

std::optional<std::string> dumpIdText(Session& s, uint32_t h) {
  const std::optional<uint64_t> id = s.dumpId(h);
  if (!id) return std::nullopt;
  char buf[24];
  buf[0] = '@';
  const auto end = std::to_chars(buf + 1, buf + sizeof buf, *id, 16).ptr;
  return std::string(buf, end);
}

void addDumpId(Session& s, uint32_t h, std::vector<std::string>& row) {
  if (s.dump()) row.push_back(dumpIdText(s, h).value_or("-"));
}

void addDumpId(Session& s, uint32_t h, Table& t) {
  if (s.dump()) t.cell(dumpIdText(s, h).value_or("-"));
}

void addDumpIdJson(Session& s, uint32_t h, JsonObject& o) {
  if (!s.dump()) return;
  if (const std::optional<uint64_t> id = s.dumpId(h)) {
    char buf[24] = {'"', '0', 'x'};
    const auto end = std::to_chars(buf + 3, buf + sizeof buf - 1, *id, 16).ptr;
    *end = '"';
    o.addRaw("dumpId", std::string_view(buf, end + 1 - buf));
  } else
    o.addNull("dumpId");
}

int64_t parseDecimal(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

ShownRows shownRows(size_t total, std::optional<size_t> limit, size_t skip) {
  const size_t first = std::min(skip, total);
  return {first, !limit || *limit >= total - first ? total : first + *limit};
}

std::string shownNote(size_t total, std::optional<size_t> limit, size_t skip) {
  if (skip == 0) {
    if (!limit || *limit >= total) return "";
    return " (the first " + std::to_string(*limit) + " shown)";
  }
  const ShownRows rows = shownRows(total, limit, skip);
  if (rows.end == rows.first) return " (none shown: " + std::to_string(skip) + " skipped)";
  if (rows.end - rows.first == 1) return " (row " + std::to_string(rows.end) + " shown)";
  return " (rows " + std::to_string(rows.first + 1) + " to " + std::to_string(rows.end) + " shown)";
}

void requireHeapHandle(Session& s, uint32_t h, const Invocation& inv) {
  if (inv.output == OutputMode::Raw || kindOf(s.vm(), h) != 0) return;
  throw CliError(hexHandle(h) + " is not an object, array or class of the heap",
                 CliError::NotFound);
}

namespace {

std::optional<Link> recordLink(const simvm::Record& r, const ReportView& view) {
  return linkFromDetail(r.detail, view.holderIsClass(r));
}

void presentReportJson(Session& s, const simvm::Report& report, const ReportView& view,
                       std::ostream& out) {
  JsonArrayWriter records(out);
  JsonObject o;
  const ShownRows shown = shownRows(report.records.size(), view.limit, view.skip);
  for (size_t i = shown.first; i < shown.end; ++i) {
    const simvm::Record& r = report.records[i];
    o.clear();
    o.add("kind", std::string(1, r.kind))
        .add("handle", int64_t{r.handle})
        .add("class", r.className);
    if (view.detail == Detail::Count) {
      o.add("count", parseDecimal(r.detail));
      if (view.dumpBytes) {
        if (const std::optional<uint64_t> bytes = view.dumpBytes(r))
          o.add("dumpBytes", static_cast<int64_t>(*bytes));
        else
          o.addNull("dumpBytes");
      }
    } else if (view.detail == Detail::Link) {
      if (std::optional<Link> link = recordLink(r, view)) addLinkJson(o, *link);
    }
    if (view.retained) {
      if (const std::optional<uint64_t> bytes = view.retained(r))
        o.add("retained", static_cast<int64_t>(*bytes));
      else
        o.addNull("retained");
    }
    addDumpIdJson(s, r.handle, o);
    records.add(o);
  }
  records.finish();
}

// The dump id cell ("@1a2b", or "-" for an object the dump did not hold).
void dumpIdCell(Session& s, uint32_t h, RowCells& row) {
  if (const std::optional<uint64_t> id = s.dumpId(h)) {
    row.hex("@", *id);
  } else {
    row.cell("-");
  }
}

// A long list's rows are made twice, once measured (numbers counted, not spelled) and once
// written, and never kept: a row costs less to make again than to hold with its cells.
void presentReportTable(Session& s, const simvm::Report& report, const ReportView& view,
                        std::ostream& out) {
  if (!report.records.empty()) {
    std::vector<Column> columns = {{"#", Align::Right},
                                   {"kind"},
                                   {"handle", Align::Right},
                                   {"decimal", Align::Right},
                                   {"class"}};
    if (view.detail == Detail::Count) columns.push_back({"count", Align::Right});
    if (view.dumpBytes) columns.push_back({"dump bytes", Align::Right});
    if (view.detail == Detail::Link) columns.push_back({"via"});
    if (view.retained) columns.push_back({"retained", Align::Right});
    if (s.dump()) columns.push_back({"dump id"});
    TableWriter table(std::move(columns));
    const ShownRows shown = shownRows(report.records.size(), view.limit, view.skip);
    // Long lists repeat a class: its cell is spelled once for each run of rows.
    const std::string* lastName = nullptr;
    std::string classCell;
    RowCells row;
    // A link's text is found once, when the rows are measured, and kept for their writing.
    std::string linkCells;
    std::vector<size_t> linkEnds;
    bool measured = false;
    auto make = [&](size_t i) {
      const simvm::Record& r = report.records[i];
      if (!lastName || *lastName != r.className) {
        classCell = printable(arrayTypeName(r.className));
        lastName = &r.className;
      }
      row.clear();
      row.number(static_cast<int64_t>(i + 1));
      row.cell(std::string_view(&r.kind, 1));
      row.hex("0x", r.handle);
      row.number(static_cast<int32_t>(r.handle));
      row.cell(classCell);
      if (view.detail == Detail::Count) row.cell(r.detail);
      if (view.dumpBytes) {
        if (const std::optional<uint64_t> bytes = view.dumpBytes(r))
          row.number(static_cast<int64_t>(*bytes));
        else
          row.cell("-");
      }
      if (view.detail == Detail::Link) {
        const size_t k = i - shown.first;
        if (!measured) {
          if (const std::optional<Link> link = recordLink(r, view)) linkCells += linkText(*link);
          linkEnds.push_back(linkCells.size());
        }
        const size_t begin = k == 0 ? 0 : linkEnds[k - 1];
        row.cell(std::string_view(linkCells).substr(begin, linkEnds[k] - begin));
      }
      if (view.retained) {
        if (const std::optional<uint64_t> bytes = view.retained(r))
          row.number(static_cast<int64_t>(*bytes));
        else
          row.cell("-");
      }
      if (s.dump()) dumpIdCell(s, r.handle, row);
    };
    row.measuring = true;
    for (size_t i = shown.first; i < shown.end; ++i) {
      make(i);
      table.measure(row);
    }
    row.measuring = false;
    measured = true;
    table.start(out);
    for (size_t i = shown.first; i < shown.end; ++i) {
      make(i);
      table.write(row);
    }
    table.finish();
  }
  out << view.summary << shownNote(report.records.size(), view.limit, view.skip) << '\n';
}

}  // namespace

int presentReport(Session& s, const simvm::Report& report, const ReportView& view, OutputMode mode,
                  std::ostream& out) {
  std::vector<uint32_t> handles;
  for (const simvm::Record& r : report.records) handles.push_back(r.handle);
  s.setLastHandles(handles);
  s.setListTotal(report.records.size());

  if (mode == OutputMode::Raw)
    out.write(report.bytes.data(), static_cast<std::streamsize>(report.bytes.size()));
  else if (mode == OutputMode::Json)
    presentReportJson(s, report, view, out);
  else
    presentReportTable(s, report, view, out);
  return 0;
}

}  // namespace cli
