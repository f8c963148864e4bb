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

// "key  value" lines with the values aligned.
void printPairs(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& pairs);

// One JSON object whose members keep the order they were added in.
class JsonObject {
 public:
  JsonObject& add(const std::string& key, const std::string& value);
  JsonObject& add(const std::string& key, const char* value);
  JsonObject& add(const std::string& key, int64_t value);
  JsonObject& add(const std::string& key, bool value);
  JsonObject& addNull(const std::string& key);
  JsonObject& addRaw(const std::string& key, const std::string& jsonText);  // already encoded
  std::string text() const;
  void appendTo(std::string& out) const;  // text(), added to the end of `out`
  void clear() { text_.clear(); }         // no members, to be filled again

 private:
  void key(const std::string& key);  // ", " (or "{"), the key and ": "
  std::string text_;  // "{" and the encoded members so far, without the closing brace
};

std::string jsonString(const std::string& bytes);
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
