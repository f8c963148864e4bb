// java/lang/String: a char array of UTF-16 units plus offset and count; conversions to and from
// UTF-8.
#include "simvm/vm_state.h"

namespace simvm {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

// Lenient: a byte that does not start a well-formed sequence becomes U+FFFD and decoding goes
// on with the next byte. Encoded surrogates (as Java's own UTF-8 writes them) are kept, and the
// two-byte form of NUL (C0 80) is read as NUL.
std::u16string utf8ToUtf16(const char* bytes, size_t length) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  std::u16string out;
  out.reserve(length);
  size_t i = 0;
  while (i < length) {
    const unsigned char b = p[i];
    int extra = 0;
    uint32_t cp = 0, min = 0;
    if (b < 0x80) {
      out += char16_t(b);
      ++i;
      continue;
    }
    if ((b & 0xE0) == 0xC0) {
      extra = 1;
      cp = b & 0x1F;
      min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2;
      cp = b & 0x0F;
      min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3;
      cp = b & 0x07;
      min = 0x10000;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    bool ok = i + extra < length;  // the whole sequence is there
    for (int k = 1; ok && k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    const bool modifiedNul = extra == 1 && cp == 0;
    if (!ok || (cp < min && !modifiedNul) || cp > 0x10FFFF) {
      out += kReplacement;
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += char16_t(0xD800 + (cp >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp);
    }
    i += extra + 1;
  }
  return out;
}

// Surrogate pairs become one four-byte sequence; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(const std::u16string& units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const uint32_t u = units[i];
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u < 0xE000) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

// A C string cannot hold a NUL: U+0000 becomes the two bytes C0 80, as a JVM's
// GetStringUTFChars writes it, so that the characters after it are kept.
std::string utf16ToCString(const std::u16string& units) {
  std::string out = utf16ToUtf8(units);
  for (size_t i = out.find('\0'); i != std::string::npos; i = out.find('\0', i + 2))
    out.replace(i, 1, "\xC0\x80");
  return out;
}

std::string dotted(std::string name) {
  for (char& c : name)
    if (c == '/') c = '.';
  return name;
}

uint32_t Vm::State::newStringUnits(const std::u16string& units) {
  if (units.size() > kMaxArrayLength) throw VmError("string too long");
  const uint32_t n = static_cast<uint32_t>(units.size());
  const ClassRecord& rec = requireClass(wk.string, "newString");
  // Both allocations first, so that a full VM leaves no half-made string behind.
  const uint32_t chars = alloc(n * 2 > 8 ? n * 2 : 8, 8);
  const uint32_t body = alloc(rec.instanceSize > 8 ? rec.instanceSize : 8, 8);
  if (end - nextSlot < 2 * kSlotBytes) throw VmError("the handle table is full");
  if (n) std::memcpy(ptr(chars), units.data(), n * 2);
  const uint32_t value = newSlot(chars, (n << 5) | kChar);
  put32(body + findField(wk.string, "value", false)->offset, value);
  put32(body + findField(wk.string, "offset", false)->offset, 0);
  put32(body + findField(wk.string, "count", false)->offset, n);
  return newSlot(body, rec.methodTable);  // published whole
}

std::optional<std::u16string> Vm::State::stringUnits(uint32_t h) const {
  if (!isString(h)) return std::nullopt;
  const uint32_t body = get32(h);
  const uint32_t value = get32(body + findField(wk.string, "value", false)->offset);
  const uint32_t offset = get32(body + findField(wk.string, "offset", false)->offset);
  const uint32_t count = get32(body + findField(wk.string, "count", false)->offset);
  if (!live(value)) return std::nullopt;
  const uint32_t methods = get32(value + 4);
  if (typeCodeOfWord(methods) != kChar || uint64_t(offset) + count > lengthOfWord(methods))
    return std::nullopt;
  const uint32_t chars = get32(value);
  if (!readable(chars, lengthOfWord(methods) * 2)) return std::nullopt;
  std::u16string units(count, u'\0');
  if (count) std::memcpy(units.data(), ptr(chars + offset * 2), count * 2);
  return units;
}

uint32_t Vm::newString(const std::string& utf8) {
  const auto lock = s_->hold();
  return s_->newStringUnits(utf8ToUtf16(utf8.data(), utf8.size()));
}

std::string Vm::stringValue(uint32_t string) const {
  const auto lock = s_->hold();
  const auto units = s_->stringUnits(string);
  if (!units) throw VmError("stringValue: not a live java/lang/String");
  return utf16ToUtf8(*units);
}

}  // namespace simvm
