// Presentation: aligned text tables for people, JSON for scripts, and the spellings of handles.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cli {

// "0x3e8".
std::string hexHandle(uint32_t h);
void appendHexHandle(std::string& out, uint32_t h);  // hexHandle(h), added to the end of `out`
// The handle as the report streams write it: signed, so a handle at or above 2 GB is negative.
std::string decimalHandle(uint32_t h);
// Control characters and invalid UTF-8 made visible, so a hostile toString cannot
// rewrite the terminal or break a table row.
std::string printable(const std::string& text);

// Input quoted in an error message: printable, at most kQuotedLength characters, in '...'.
constexpr size_t kQuotedLength = 80;
std::string quoteInput(const std::string& input);

// Breaks text into lines of at most `width` columns at spaces.
std::string wrap(const std::string& text, size_t width);

enum class Align { Left, Right };

struct Column {
  std::string title;
  Align align = Align::Left;
};

// Columns sized to their widest cell; the last column is not padded.
struct Table {
  std::vector<Column> columns;
  std::vector<std::vector<std::string>> rows;
  // Further rows, printed after `rows`: their cells one after another, columns.size() a row, the
  // text of all in one string (a long list's rows without an allocation for each cell).
  std::string cellText;
  std::vector<size_t> cellEnds;  // where each cell's text ends in cellText
  void cell(std::string_view text) {
    cellText += text;
    cellEnds.push_back(cellText.size());
  }
};

void printTable(std::ostream& out, const Table& table);

// One row's cells, refilled for each row of a long table (no allocation per cell or row). While
// `measuring`, only each cell's width is kept: numbers are counted, not spelled.
struct RowCells {
  bool measuring = false;
  std::string text;
  std::vector<size_t> ends;    // where each cell's text ends in `text`
  std::vector<size_t> widths;  // while measuring: each cell's width
  void clear() {
    text.clear();
    ends.clear();
    widths.clear();
  }
  void cell(std::string_view cell);
  void number(int64_t n);                         // in decimal
  void hex(std::string_view prefix, uint64_t n);  // "0x3e8", "@1a2b"
  size_t size() const { return measuring ? widths.size() : ends.size(); }
  std::string_view at(size_t c) const {
    const size_t begin = c == 0 ? 0 : ends[c - 1];
    return std::string_view(text).substr(begin, ends[c] - begin);
  }
};

// What printTable writes, for a table whose rows are made twice rather than kept: first each
// row is measured, then the header and each row are written in the same order.
class TableWriter {
 public:
  explicit TableWriter(std::vector<Column> columns);
  void measure(const RowCells& row);
  void start(std::ostream& out);  // the header; no measure() after it
  void write(const RowCells& row);
  void finish();  // what is still in the buffer

 private:
  std::vector<Column> columns_;
  std::vector<size_t> widths_;
  std::ostream* out_ = nullptr;
  std::string text_;
};

// "key  value" lines with the values aligned.
void printPairs(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& pairs);

// One JSON object whose members keep the order they were added in.
class JsonObject {
 public:
  JsonObject& add(std::string_view key, const std::string& value);
  JsonObject& add(std::string_view key, const char* value);
  JsonObject& add(std::string_view key, int64_t value);
  JsonObject& add(std::string_view key, bool value);
  JsonObject& addNull(std::string_view key);
  JsonObject& addRaw(std::string_view key, std::string_view jsonText);  // already encoded
  std::string text() const;
  void appendTo(std::string& out) const;  // text(), added to the end of `out`
  void clear() { text_.clear(); }         // no members, to be filled again

 private:
  void key(std::string_view key);  // ", " (or "{"), the key and ": "
  std::string text_;               // "{" and the encoded members so far, without the closing brace
};

std::string jsonString(const std::string& bytes);
// {"error": "<what>"} and a newline: how every failure reads in JSON, the console's and /api's.
std::string jsonErrorRecord(const std::string& what);
void appendJsonString(std::string& out, const std::string& bytes);  // jsonString(bytes), added
// "[{...}, {...}]" on one line, for a list inside a record.
std::string jsonArrayText(const std::vector<JsonObject>& records);
// "[\n  {...},\n  {...}\n]\n"; an empty list is "[]\n".
void printJsonArray(std::ostream& out, const std::vector<JsonObject>& records);

// What printJsonArray writes, a record at a time, through one buffer: for long lists.
class JsonArrayWriter {
 public:
  explicit JsonArrayWriter(std::ostream& out) : out_(out) {}
  void add(const JsonObject& record);
  void finish();  // the closing bracket, or "[]" when no record was added

 private:
  std::ostream& out_;
  std::string text_;
  bool any_ = false;
};

}  // namespace cli
