// A strict reader of the pages' markup, stricter than a browser: it refuses what a page written
// from escaped pieces never holds (a '<' that opens no tag, an attribute value not in double
// quotes, an '&' that starts no known reference, an end tag that closes another element), and
// gives back the elements with their attributes and the text as a reader sees it.
#pragma once
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace strict {

struct Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // values decoded
};

struct Markup {
  std::string error;  // what is malformed and where; empty when the page is well formed
  std::vector<Element> elements;
  // Text and attribute values decoded, each followed by '\n'. A character that heap text may
  // carry only as a reference (> " ' in text; < > ' in a value) reads as '\x01' when it stood
  // raw, so text found here with those characters was escaped.
  std::string text;
};

inline Markup parse(const std::string& html) {
  static const std::vector<std::pair<std::string, std::string>> kEntities = {
      {"amp", "&"},
      {"lt", "<"},
      {"gt", ">"},
      {"quot", "\""},
      {"#39", "'"},
      {"larr", "\xE2\x86\x90"},
      {"rarr", "\xE2\x86\x92"},
      {"uarr", "\xE2\x86\x91"},
      {"darr", "\xE2\x86\x93"},
      {"hellip", "\xE2\x80\xA6"}};
  static const std::vector<std::string> kVoid = {"meta", "link", "input", "br"};
  Markup m;
  std::vector<std::string> open;
  size_t i = 0;
  auto fail = [&](const std::string& what) {
    m.error = what + " at byte " + std::to_string(i) + ": ..." +
              html.substr(i < 40 ? 0 : i - 40, 80) + "...";
    return m;
  };
  auto isName = [](char c, bool first) {
    return (c >= 'a' && c <= 'z') || (!first && ((c >= '0' && c <= '9') || c == '-'));
  };
  // Characters up to `stop`, references decoded; false when an '&' is no known reference.
  auto decode = [&](char stop, const std::string& marked, std::string& out) {
    for (; i < html.size() && html[i] != stop; ++i) {
      if (html[i] == '&') {
        const size_t semi = html.find(';', i);
        bool known = false;
        for (const auto& [name, value] : kEntities)
          if (semi != std::string::npos && html.compare(i + 1, semi - i - 1, name) == 0 &&
              semi - i - 1 == name.size()) {
            out += value;
            known = true;
          }
        if (!known) return false;
        i = semi;
      } else {
        out += marked.find(html[i]) != std::string::npos ? '\x01' : html[i];
      }
    }
    return true;
  };
  const std::string doctype = "<!DOCTYPE html>";
  if (html.compare(0, doctype.size(), doctype) == 0) i = doctype.size();
  while (i < html.size()) {
    if (html[i] != '<') {
      if (!decode('<', ">\"'", m.text)) return fail("an '&' that starts no known reference");
      m.text += '\n';
      continue;
    }
    ++i;
    if (i < html.size() && html[i] == '/') {
      const size_t start = ++i;
      while (i < html.size() && isName(html[i], i == start)) ++i;
      const std::string name = html.substr(start, i - start);
      if (i >= html.size() || html[i] != '>') return fail("a malformed end tag");
      if (open.empty() || open.back() != name)
        return fail("</" + name + "> closes no open <" + name + ">");
      open.pop_back();
      ++i;
      continue;
    }
    if (i >= html.size() || !isName(html[i], true)) return fail("a '<' that opens no tag");
    Element e;
    const size_t start = i;
    while (i < html.size() && isName(html[i], i == start)) ++i;
    e.name = html.substr(start, i - start);
    bool selfClosed = false;
    for (;;) {
      if (i < html.size() && html[i] == '>') break;
      if (html.compare(i, 2, "/>") == 0) {
        selfClosed = true;
        ++i;
        break;
      }
      if (i >= html.size() || html[i] != ' ') return fail("a malformed <" + e.name + "> tag");
      const size_t nameStart = ++i;
      while (i < html.size() && isName(html[i], i == nameStart)) ++i;
      if (i == nameStart) return fail("an attribute without a name");
      std::pair<std::string, std::string> a{html.substr(nameStart, i - nameStart), ""};
      for (const auto& other : e.attributes)
        if (other.first == a.first) return fail("attribute " + a.first + " given twice");
      if (i < html.size() && html[i] == '=') {
        if (++i >= html.size() || html[i] != '"') return fail("an attribute value not in quotes");
        ++i;
        if (!decode('"', "<>'", a.second)) return fail("an '&' that starts no known reference");
        if (i >= html.size()) return fail("an attribute value that never ends");
        ++i;
        m.text += a.second + '\n';
      }
      e.attributes.push_back(std::move(a));
    }
    ++i;
    const bool isVoid = std::find(kVoid.begin(), kVoid.end(), e.name) != kVoid.end();
    if (!isVoid && !selfClosed) open.push_back(e.name);
    m.elements.push_back(std::move(e));
    if (m.elements.back().name == "style") {  // our own rules, kept apart from the text
      const size_t end = html.find("</style>", i);
      if (end == std::string::npos) return fail("a <style> that never ends");
      i = end;
    }
  }
  if (!open.empty()) return fail("<" + open.back() + "> never closed");
  return m;
}

}  // namespace strict
