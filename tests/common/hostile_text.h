// Text that no output may pass on as it is: markup and quotes, URL delimiters, control bytes and
// a terminal escape sequence, a C1 control, broken UTF-8. Random strings made of it, how the
// console shows such text, and whether a text is safe to write to a terminal.
#pragma once
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace hostile {

// Every piece a heap text may carry; all() is every one of them in a row.
inline const std::vector<std::string>& pieces() {
  static const std::vector<std::string> p = {
      // markup, references and quotes
      "&", "<", ">", "\"", "'", "&amp;", "<b>", "</td>",
      // what a URL reads as its own
      "%", "%41", "#", "+", "?", "=", " ", "\\",
      // controls, an escape sequence, DEL, a C1 control (CSI)
      "\n", "\r", "\t", "\x01", "\x1b[2J", "\x7f", "\xc2\x9b",
      // a stray byte, overlong forms (of NUL, of é), a surrogate, past U+10FFFF, a sequence cut
      // short; é
      "\xff", "\xe0\x80\x80", "\xe0\x83\xa9", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82",
      "\xc3\xa9",
      // plain
      "a", "Z", "9", "_", "$", "/", ".", "-"};
  return p;
}

inline std::string all() {
  std::string s;
  for (const std::string& p : pieces()) s += p;
  return s;
}

// `count` pieces drawn at random; `asciiOnly` keeps to the pieces whose bytes are all below 0x80 (a
// String's Latin-1 bytes show as themselves only there).
inline std::string random(std::mt19937& rng, size_t count, bool asciiOnly = false) {
  std::string s;
  while (count > 0) {
    const std::string& p = pieces()[rng() % pieces().size()];
    bool ascii = true;
    for (const char c : p) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (asciiOnly && !ascii) continue;
    s += p;
    --count;
  }
  return s;
}

// Length of the UTF-8 sequence at s[i] and its code point: 0 for a byte that starts none (an
// overlong form, a surrogate, past U+10FFFF, cut short). ASCII counts as a sequence of 1.
inline size_t utf8At(const std::string& s, size_t i, uint32_t& cp) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return cp = c, 1;
  const size_t n = c >= 0xC2 && c < 0xE0   ? 2
                   : c >= 0xE0 && c < 0xF0 ? 3
                   : c >= 0xF0 && c < 0xF5 ? 4
                                           : 0;
  if (n == 0 || i + n > s.size()) return 0;
  cp = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (d & 0x3F);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0;
  return n;
}

// How the console shows a text (in its tables, and inside the pages): printable ASCII and whole
// characters as they are, a line break and a tab as \n and \t, every other byte as \xNN (a
// control, a C1 control, a byte of broken UTF-8).
inline std::string shown(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t n = utf8At(s, i, cp);
    if (n > 0 && (cp >= 0xA0 || (cp >= 0x20 && cp < 0x7F))) {
      out.append(s, i, n);
      i += n;
      continue;
    }
    const size_t bytes = n > 0 ? n : 1;
    for (size_t k = 0; k < bytes; ++k, ++i) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(s[i]));
      out += s[i] == '\n' ? "\\n" : s[i] == '\t' ? "\\t" : buf;
    }
  }
  return out;
}

// What makes `s` unsafe on a terminal ("" when nothing): a control byte other than the line
// break, DEL, a C1 control, or bytes that are not UTF-8.
inline std::string terminalHazard(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t n = utf8At(s, i, cp);
    char what[64];
    if (n == 0)
      std::snprintf(what, sizeof what, "byte 0x%02x at %zu is not UTF-8",
                    static_cast<unsigned char>(s[i]), i);
    else if ((cp < 0x20 && cp != '\n') || (cp >= 0x7F && cp < 0xA0))
      std::snprintf(what, sizeof what, "control U+%04X at %zu", cp, i);
    else {
      i += n;
      continue;
    }
    return what;
  }
  return "";
}

}  // namespace hostile
