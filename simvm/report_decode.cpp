// Decoding the report streams the library writes.
//
//   stream  := count NUL record*           count: ASCII decimal, equal to the number of records
//   record  := kind ' ' handle ' ' class [' ' detail] NUL
//              kind: 'C', 'I' or 'A'; handle: signed decimal (handles above 2 GB are negative)
//   usage   := count NUL (class ' ' count ' ' bytes NUL)*   split on the last two spaces
//
// Anything else is a fault in the library and raises VmError.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string_view>

#include "simvm/library.h"

namespace simvm {
namespace {

// The text with control bytes shown as \xNN, for messages.
std::string shown(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 80)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return text.size() > 80 ? out + "..." : out;
}

[[noreturn]] void fail(const std::string& what, std::string_view near) {
  throw VmError("bad report stream: " + what + " near \"" + shown(near) + "\"");
}

// A decimal with an optional minus sign, within [lo, hi].
bool parseDecimal(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  if (i == text.size() || text.size() - i > 19) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (v > (std::numeric_limits<int64_t>::max() - (text[i] - '0')) / 10) return false;
    v = v * 10 + (text[i] - '0');
  }
  if (negative) v = -v;
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

// Splits the stream into its count and its NUL-terminated records.
std::vector<std::string_view> splitStream(const std::string& bytes, int32_t& count) {
  const std::string_view all(bytes);
  const size_t nul = all.find('\0');
  if (nul == std::string_view::npos) fail("no NUL after the record count", all);
  int64_t n = 0;
  if (!parseDecimal(all.substr(0, nul), 0, std::numeric_limits<int32_t>::max(), n))
    fail("the record count is not a decimal number", all.substr(0, nul));
  std::vector<std::string_view> records;
  // Every record takes at least 5 bytes: a count larger than that allows is refused below.
  records.reserve(std::min<size_t>(static_cast<size_t>(n), all.size() / 5));
  for (size_t pos = nul + 1; pos < all.size();) {
    const size_t end = all.find('\0', pos);
    if (end == std::string_view::npos)
      fail("a record without its terminating NUL", all.substr(pos));
    records.push_back(all.substr(pos, end - pos));
    pos = end + 1;
  }
  if (static_cast<size_t>(n) != records.size())
    fail("the count says " + std::to_string(n) + " records but " + std::to_string(records.size()) +
             " follow",
         all.substr(0, nul));
  count = static_cast<int32_t>(n);
  return records;
}

// `named`: whether the class name and detail are kept (the record is checked either way).
Record parseRecord(std::string_view text, bool named) {
  Record r;
  if (text.size() < 4 || (text[0] != 'C' && text[0] != 'I' && text[0] != 'A') || text[1] != ' ')
    fail("a record that does not begin with C, I or A and a space", text);
  r.kind = text[0];
  const size_t space = text.find(' ', 2);
  if (space == std::string_view::npos) fail("a record without a class name", text);
  int64_t handle = 0;
  if (!parseDecimal(text.substr(2, space - 2), std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max(), handle))
    fail("a handle that is not a 32-bit signed decimal", text);
  r.handle = static_cast<uint32_t>(static_cast<int32_t>(handle));
  if (!named) return r;
  const std::string_view rest = text.substr(space + 1);
  const size_t detail = rest.find(' ');
  r.className = std::string(rest.substr(0, detail));
  if (detail != std::string_view::npos) r.detail = std::string(rest.substr(detail + 1));
  return r;
}

UsageRecord parseUsageRecord(std::string_view text) {
  const size_t last = text.rfind(' ');
  const size_t middle = last == std::string_view::npos || last == 0 ? std::string_view::npos
                                                                    : text.rfind(' ', last - 1);
  if (middle == std::string_view::npos) fail("a usage record without two numbers", text);
  UsageRecord u;
  int64_t count = 0, bytes = 0;
  if (!parseDecimal(text.substr(middle + 1, last - middle - 1), std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max(), count) ||
      !parseDecimal(text.substr(last + 1), std::numeric_limits<int64_t>::min() + 1,
                    std::numeric_limits<int64_t>::max(), bytes))
    fail("a usage record whose count or bytes are not decimal", text);
  u.className = std::string(text.substr(0, middle));
  u.count = static_cast<int32_t>(count);
  u.bytes = bytes;
  return u;
}

}  // namespace

Report decodeReport(std::string bytes, NamedRecords named) {
  Report report;
  report.bytes = std::move(bytes);
  const std::vector<std::string_view> texts = splitStream(report.bytes, report.count);
  report.records.reserve(texts.size());
  for (size_t i = 0; i < texts.size(); ++i)
    report.records.push_back(parseRecord(texts[i], i >= named.first && i < named.end));
  return report;
}

UsageReport decodeUsageReport(std::string bytes) {
  UsageReport report;
  report.bytes = std::move(bytes);
  const std::vector<std::string_view> texts = splitStream(report.bytes, report.count);
  report.records.reserve(texts.size());
  for (std::string_view text : texts) report.records.push_back(parseUsageRecord(text));
  return report;
}

}  // namespace simvm
