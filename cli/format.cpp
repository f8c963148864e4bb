#include "cli/format.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace cli {

void appendHexHandle(std::string& out, uint32_t h) {
  static const char kDigits[] = "0123456789abcdef";
  char buf[10];
  char* p = buf + sizeof buf;
  do {
    *--p = kDigits[h & 0xF];
    h >>= 4;
  } while (h != 0);
  *--p = 'x';
  *--p = '0';
  out.append(p, buf + sizeof buf);
}

std::string hexHandle(uint32_t h) {
  std::string out;
  appendHexHandle(out, h);
  return out;
}

std::string decimalHandle(uint32_t h) { return std::to_string(static_cast<int32_t>(h)); }

namespace {

// Length of the valid UTF-8 sequence at s[i] (2 to 4), or 0 when there is none: no overlong
// form, no surrogate (ED A0..BF), nothing above U+10FFFF.
size_t utf8Sequence(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c >= 0xF0 && c <= 0xF4   ? 4
             : c >= 0xE0 && c <= 0xEF ? 3
             : c >= 0xC2 && c < 0xE0  ? 2
                                      : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  const unsigned char second = static_cast<unsigned char>(s[i + 1]);
  if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second >= 0xA0) ||
      (c == 0xF0 && second < 0x90) || (c == 0xF4 && second >= 0x90))
    return 0;
  return n;
}

// A C1 control (U+0080 to U+009F: C2 80 to C2 9F) at s[i]. Terminals that read UTF-8 may act
// on one as on ESC [ and the like, so it is escaped as the C0 controls are.
bool isC1(const std::string& s, size_t i) {
  return static_cast<unsigned char>(s[i]) == 0xC2 && i + 1 < s.size() &&
         static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
         static_cast<unsigned char>(s[i + 1]) < 0xA0;
}

// A supplementary character written as two surrogates of three bytes each (CESU-8, as the
// JVM's modified UTF-8 and dump names write it) at s[i]: its UTF-8 form in `utf8`, and 6; 0
// when there is no such pair.
size_t surrogatePair(const std::string& s, size_t i, std::string& utf8) {
  if (i + 6 > s.size()) return 0;
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  if (b(0) != 0xED || (b(1) & 0xF0) != 0xA0 || (b(2) & 0xC0) != 0x80 || b(3) != 0xED ||
      (b(4) & 0xF0) != 0xB0 || (b(5) & 0xC0) != 0x80)
    return 0;
  const uint32_t high = 0xD000 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F);
  const uint32_t low = 0xD000 | (b(4) & 0x3F) << 6 | (b(5) & 0x3F);
  const uint32_t cp = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
  utf8 = {static_cast<char>(0xF0 | cp >> 18), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
          static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
  return 6;
}

// Columns a code point takes on a terminal: two for the wide and fullwidth ranges (CJK,
// Hangul, fullwidth forms, most emoji), none for combining marks and zero-width characters,
// one for the rest.
int columnsOf(uint32_t cp) {
  if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F) ||
      (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0xFE00 && cp <= 0xFE0F))
    return 0;
  static const uint32_t wide[][2] = {
      {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
      {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
      {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
      {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
  };
  for (const auto& r : wide)
    if (cp >= r[0] && cp <= r[1]) return 2;
  return 1;
}

// Display width of printable text (what printable() returns: whole UTF-8 sequences).
size_t width(std::string_view s) {
  size_t w = 0;
  size_t ascii = 0;  // the common case: plain ASCII, a column a byte
  while (ascii < s.size() && static_cast<unsigned char>(s[ascii]) < 0x80) ++ascii;
  if (ascii == s.size()) return ascii;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (n == 1 || i + n > s.size()) {
      w += (c & 0xC0) != 0x80;  // ASCII, or a stray byte: one column as before
      ++i;
      continue;
    }
    uint32_t cp = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    w += columnsOf(cp);
    i += n;
  }
  return w;
}

}  // namespace

std::string printable(const std::string& text) {
  size_t plain = 0;  // the common case: nothing to escape
  while (plain < text.size() && static_cast<unsigned char>(text[plain]) >= 0x20 &&
         static_cast<unsigned char>(text[plain]) < 0x7F)
    ++plain;
  if (plain == text.size()) return text;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (size_t n = c >= 0x80 && !isC1(text, i) ? utf8Sequence(text, i) : 0) {
      out.append(text, i, n);
      i += n - 1;
    } else if (std::string utf8; (n = surrogatePair(text, i, utf8)) != 0) {
      out += utf8;
      i += n - 1;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

std::string quoteInput(const std::string& input) {
  std::string out;
  size_t columns = 0, i = 0;
  while (i < input.size()) {
    // One byte, or one whole UTF-8 sequence, escaped as printable escapes it.
    std::string pair;
    const size_t n =
        static_cast<unsigned char>(input[i]) >= 0x80
            ? std::max<size_t>({1, utf8Sequence(input, i), surrogatePair(input, i, pair)})
            : 1;
    const std::string piece = printable(input.substr(i, n));
    if (columns + width(piece) > kQuotedLength) break;
    out += piece;
    columns += width(piece);
    i += n;
  }
  return "'" + out + (i < input.size() ? "...'" : "'");
}

std::string wrap(const std::string& text, size_t limit) {
  std::string out, line;
  size_t at = 0;
  while (at < text.size()) {
    size_t space = text.find(' ', at);
    if (space == std::string::npos) space = text.size();
    const std::string word = text.substr(at, space - at);
    if (!line.empty() && width(line) + 1 + width(word) > limit) {
      out += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    at = space + 1;
  }
  return out + line;
}

namespace {

constexpr size_t kTableBlock = 1 << 16;  // rows are handed to the stream this much at a time

// One line of a table: cells padded to their columns' widths (the last not padded), two spaces
// apart, trailing spaces dropped; columns past `cells` empty.
template <typename CellAt>
void appendLine(std::string& text, const std::vector<Column>& columns,
                const std::vector<size_t>& widths, CellAt cellAt, size_t cells,
                bool ascii = false) {
  const size_t n = columns.size();
  const size_t start = text.size();
  for (size_t c = 0; c < n; ++c) {
    const std::string_view cell = c < cells ? std::string_view(cellAt(c)) : std::string_view();
    const size_t pad = widths[c] - (ascii ? cell.size() : width(cell));
    if (c > 0) text.append(2, ' ');
    if (columns[c].align == Align::Right) {
      text.append(pad, ' ');
      text += cell;
    } else {
      text += cell;
      if (c + 1 < n) text.append(pad, ' ');
    }
  }
  while (text.size() > start && text.back() == ' ') text.pop_back();
  text += '\n';
}

void flushBlock(std::ostream& out, std::string& text, bool whole) {
  if (!whole && text.size() < kTableBlock) return;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  text.clear();
}

}  // namespace

void printTable(std::ostream& out, const Table& table) {
  const size_t n = table.columns.size();
  const size_t flatRows = n == 0 ? 0 : (table.cellEnds.size() + n - 1) / n;
  auto flatCell = [&](size_t i) {
    const size_t begin = i == 0 ? 0 : table.cellEnds[i - 1];
    return std::string_view(table.cellText).substr(begin, table.cellEnds[i] - begin);
  };
  std::vector<size_t> widths(n, 0);
  for (size_t c = 0; c < n; ++c) widths[c] = width(table.columns[c].title);
  for (const auto& row : table.rows)
    for (size_t c = 0; c < n && c < row.size(); ++c) widths[c] = std::max(widths[c], width(row[c]));
  for (size_t i = 0; n > 0 && i < table.cellEnds.size(); ++i)
    widths[i % n] = std::max(widths[i % n], width(flatCell(i)));

  std::string text;
  text.reserve(kTableBlock + 1024);
  const auto& columns = table.columns;
  appendLine(
      text, columns, widths, [&](size_t c) -> const std::string& { return columns[c].title; }, n);
  for (const auto& row : table.rows) {
    appendLine(
        text, columns, widths, [&](size_t c) -> const std::string& { return row[c]; }, row.size());
    flushBlock(out, text, false);
  }
  for (size_t r = 0; r < flatRows; ++r) {
    appendLine(
        text, columns, widths, [&](size_t c) { return flatCell(r * n + c); },
        std::min(n, table.cellEnds.size() - r * n));
    flushBlock(out, text, false);
  }
  flushBlock(out, text, true);
}

void RowCells::cell(std::string_view cell) {
  if (measuring) {
    widths.push_back(width(cell));
    return;
  }
  text += cell;
  ends.push_back(text.size());
}

void RowCells::number(int64_t n) {
  if (measuring) {
    size_t digits = n < 0 ? 2 : 1;
    for (uint64_t v = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n); v >= 10;
         v /= 10)
      ++digits;
    widths.push_back(digits);
    return;
  }
  char buf[24];
  const auto stop = std::to_chars(buf, buf + sizeof buf, n).ptr;
  text.append(buf, stop);
  ends.push_back(text.size());
}

void RowCells::hex(std::string_view prefix, uint64_t n) {
  if (measuring) {
    size_t digits = 1;
    for (uint64_t v = n; v >= 16; v >>= 4) ++digits;
    widths.push_back(prefix.size() + digits);
    return;
  }
  char buf[24];
  const auto stop = std::to_chars(buf, buf + sizeof buf, n, 16).ptr;
  text += prefix;
  text.append(buf, stop);
  ends.push_back(text.size());
}

TableWriter::TableWriter(std::vector<Column> columns) : columns_(std::move(columns)) {
  for (const Column& c : columns_) widths_.push_back(width(c.title));
}

namespace {

// Whether every byte is ASCII: a column a byte.
bool isAscii(std::string_view s) {
  unsigned char any = 0;
  for (const char c : s) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

}  // namespace

void TableWriter::measure(const RowCells& row) {
  if (row.measuring) {
    for (size_t c = 0; c < widths_.size() && c < row.widths.size(); ++c)
      widths_[c] = std::max(widths_[c], row.widths[c]);
    return;
  }
  const bool ascii = isAscii(row.text);
  for (size_t c = 0; c < widths_.size() && c < row.size(); ++c)
    widths_[c] = std::max(widths_[c], ascii ? row.at(c).size() : width(row.at(c)));
}

void TableWriter::start(std::ostream& out) {
  out_ = &out;
  text_.reserve(kTableBlock + 1024);
  appendLine(
      text_, columns_, widths_, [&](size_t c) -> const std::string& { return columns_[c].title; },
      columns_.size());
}

void TableWriter::write(const RowCells& row) {
  appendLine(
      text_, columns_, widths_, [&](size_t c) { return row.at(c); },
      std::min(columns_.size(), row.size()), isAscii(row.text));
  flushBlock(*out_, text_, false);
}

void TableWriter::finish() { flushBlock(*out_, text_, true); }

void printPairs(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& pairs) {
  size_t w = 0;
  for (const auto& p : pairs) w = std::max(w, width(p.first));
  // Escaped here as well: a value parsed out of the library's text may hold pieces of a name
  // (printable leaves text it already escaped as it is).
  for (const auto& p : pairs)
    out << p.first << std::string(w - width(p.first) + 2, ' ') << printable(p.second) << '\n';
}

void appendJsonString(std::string& out, const std::string& bytes) {
  out += '"';
  size_t plain = 0;  // the common case: nothing to escape
  while (plain < bytes.size()) {
    const unsigned char c = static_cast<unsigned char>(bytes[plain]);
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') break;
    ++plain;
  }
  out.append(bytes, 0, plain);
  for (size_t i = plain; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F || isC1(bytes, i)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x",
                    c < 0x80 ? c : static_cast<unsigned char>(bytes[++i]));
      out += buf;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (size_t n = utf8Sequence(bytes, i)) {
      out.append(bytes, i, n);
      i += n - 1;
    } else if (std::string utf8; (n = surrogatePair(bytes, i, utf8)) != 0) {
      out += utf8;
      i += n - 1;
    } else {
      out += "\\ufffd";  // a byte that is not UTF-8 cannot appear in a JSON text
    }
  }
  out += '"';
}

std::string jsonErrorRecord(const std::string& what) {
  return "{\"error\": " + jsonString(what) + "}\n";
}

std::string jsonString(const std::string& bytes) {
  std::string out;
  appendJsonString(out, bytes);
  return out;
}

void JsonObject::key(std::string_view key) {
  text_ += text_.empty() ? "{" : ", ";
  bool plain = true;  // the keys the console writes need no escaping
  for (const char c : key)
    plain = plain && static_cast<unsigned char>(c) >= 0x20 &&
            static_cast<unsigned char>(c) < 0x7F && c != '"' && c != '\\';
  if (plain) {
    text_ += '"';
    text_ += key;
    text_ += "\": ";
    return;
  }
  appendJsonString(text_, std::string(key));
  text_ += ": ";
}

JsonObject& JsonObject::add(std::string_view key, const std::string& value) {
  this->key(key);
  appendJsonString(text_, value);
  return *this;
}

JsonObject& JsonObject::add(std::string_view key, const char* value) {
  return add(key, std::string(value));
}

JsonObject& JsonObject::add(std::string_view key, int64_t value) {
  this->key(key);
  char buf[24];
  const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  text_.append(buf, end);
  return *this;
}

JsonObject& JsonObject::add(std::string_view key, bool value) {
  this->key(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::addNull(std::string_view key) {
  this->key(key);
  text_ += "null";
  return *this;
}

JsonObject& JsonObject::addRaw(std::string_view key, std::string_view jsonText) {
  this->key(key);
  text_ += jsonText;
  return *this;
}

void JsonObject::appendTo(std::string& out) const {
  if (text_.empty()) {
    out += "{}";
    return;
  }
  out += text_;
  out += '}';
}

std::string JsonObject::text() const {
  std::string out;
  appendTo(out);
  return out;
}

std::string jsonArrayText(const std::vector<JsonObject>& records) {
  std::string out = "[";
  for (size_t i = 0; i < records.size(); ++i) {
    if (i) out += ", ";
    records[i].appendTo(out);
  }
  return out + "]";
}

void printJsonArray(std::ostream& out, const std::vector<JsonObject>& records) {
  if (records.empty()) {
    out << "[]\n";
    return;
  }
  // One buffer, handed to the stream a block at a time.
  std::string text = "[\n";
  constexpr size_t kBlock = 1 << 16;
  text.reserve(kBlock + 1024);
  for (size_t i = 0; i < records.size(); ++i) {
    text += "  ";
    records[i].appendTo(text);
    text += i + 1 < records.size() ? ",\n" : "\n";
    if (text.size() >= kBlock) {
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      text.clear();
    }
  }
  text += "]\n";
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void JsonArrayWriter::add(const JsonObject& record) {
  text_ += any_ ? ",\n  " : "[\n  ";
  any_ = true;
  record.appendTo(text_);
  if (text_.size() >= (1 << 16)) {
    out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
    text_.clear();
  }
}

void JsonArrayWriter::finish() {
  text_ += any_ ? "\n]\n" : "[]\n";
  out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
  text_.clear();
}

}  // namespace cli
