#include "web/html.h"

#include <algorithm>
#include <cstdio>

#include "cli/format.h"
#include "cli/present.h"

namespace web {

std::string esc(const std::string& text) {
  const std::string shown = cli::printable(text);
  std::string out;
  out.reserve(shown.size());
  for (char c : shown) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string urlEncode(const std::string& text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    // ASCII letters and digits by value: isalnum follows the locale, and under a single-byte
    // one would pass bytes above 0x7f through unencoded.
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (alnum || c == '-' || c == '_' || c == '.' || c == '~' || c == '/' || c == '$') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string objectUrl(uint32_t handle) { return "/object/" + cli::hexHandle(handle); }
std::string classUrl(uint32_t handle) { return "/class/" + cli::hexHandle(handle); }

std::string classLink(uint32_t handle, const std::string& className) {
  return "<a href=\"" + classUrl(handle) + "\">" + esc(className) + "</a>";
}

std::string handleLink(char kind, uint32_t handle, const std::string& className) {
  if (kind == 'C') return classLink(handle, className);
  // Arrays named as Java writes them, as the console's tables do: byte[], java/lang/String[][].
  std::string name = className;
  if (kind == 'A') name = name[0] == '[' ? cli::arrayTypeName("[" + name) : name + "[]";
  if (kind == 'P') name = cli::arrayTypeName(name);
  return "<a href=\"" + objectUrl(handle) + "\"><code>" + cli::hexHandle(handle) + "</code></a> " +
         esc(name);
}

std::string grouped(int64_t n) {
  std::string digits = std::to_string(n < 0 ? -n : n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return (n < 0 ? "-" : "") + out;
}

namespace {

const char* kStyle = R"(
body{font:14px/1.45 system-ui,sans-serif;margin:0;color:#1d232b;background:#f7f8fa}
header{background:#23303f;color:#fff;padding:.5em 1em;display:flex;gap:1.2em;align-items:center;flex-wrap:wrap}
header a{color:#dfe8f3;text-decoration:none}header a:hover{text-decoration:underline}
header strong{color:#fff;margin-right:.5em}header form{margin-left:auto}
header input[type=search]{width:22em;padding:.25em .4em;border:0;border-radius:3px}
main{padding:1em 1.5em;max-width:90em}
h1{font-size:1.35em;margin:.2em 0 .6em;word-break:break-all}h2{font-size:1.1em;margin:1.4em 0 .4em}
table{border-collapse:collapse;background:#fff;margin:.3em 0 .8em}
th,td{padding:.2em .7em;border-bottom:1px solid #e3e6ea;text-align:left;vertical-align:top}
th{background:#eef1f5;font-weight:600}th a{color:inherit}
td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}
code,.mono{font-family:ui-monospace,monospace;font-size:.95em}
a{color:#1f5fa8}.muted{color:#6b7480}.grow{color:#b3261e}.shrink{color:#1e7b34}
.tag{display:inline-block;padding:0 .4em;border-radius:3px;font-size:.85em;background:#fde7c8;color:#7a4a00}
.tag.gone{background:#e3e6ea;color:#444}.error{background:#fdecea;border:1px solid #f3b8b2;padding:.6em .8em}
.note{background:#eef4fb;border:1px solid #c9dcf0;padding:.6em .8em}
dl.facts{display:grid;grid-template-columns:max-content auto;gap:.2em 1.2em}dl.facts dt{color:#6b7480}dl.facts dd{margin:0}
.pager{margin:.4em 0}.pager a{margin:0 .5em}.charts{display:flex;gap:2em;flex-wrap:wrap}
svg text{font:12px system-ui,sans-serif}svg a:hover rect{fill:#3a7bd5}
form.filter{margin:.5em 0}form.filter input[type=text]{width:20em}
pre.text{white-space:pre-wrap;word-break:break-all;background:#fff;border:1px solid #e3e6ea;padding:.5em}
)";

}  // namespace

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<link rel=\"icon\" href=\"data:,\">"
         "<title>" +
         esc(title) + " - tavolin</title><style>" + kStyle +
         "</style></head><body><header><strong>tavolin</strong>"
         "<a href=\"/\">Overview</a><a href=\"/classes\">Census</a>"
         "<a href=\"/dominators\">Dominators</a><a href=\"/threads\">Threads</a><a "
         "href=\"/roots\">Roots</a>"
         "<a href=\"/missing\">Missing</a>"
         "<form action=\"/search\" method=\"get\" role=\"search\">"
         "<input type=\"search\" name=\"q\" placeholder=\"class, handle (0x.. or decimal), @dump "
         "id\" "
         "aria-label=\"search\"> <button>Find</button></form></header><main>\n" +
         body + "\n</main></body></html>\n";
}

std::string barChart(const std::string& title, const std::vector<Bar>& bars) {
  const int width = 560, labelWidth = 300, rowHeight = 22, top = 24;
  int64_t most = 1;
  for (const Bar& b : bars) most = std::max(most, b.value);
  const int height = top + rowHeight * static_cast<int>(bars.size()) + 4;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                    "\" height=\"" + std::to_string(height) + "\" role=\"img\" aria-label=\"" +
                    esc(title) + "\"><text x=\"0\" y=\"15\" font-weight=\"600\">" + esc(title) +
                    "</text>";
  int y = top;
  for (const Bar& b : bars) {
    const int barWidth =
        static_cast<int>(std::max<int64_t>(1, b.value * (width - labelWidth - 90) / most));
    std::string label = b.label;
    if (label.size() > 44) label = "\xE2\x80\xA6" + label.substr(label.size() - 43);
    svg += "<a href=\"" + esc(b.href) + "\"><title>" + esc(b.label) + ": " + grouped(b.value) +
           "</title><text x=\"" + std::to_string(labelWidth - 6) + "\" y=\"" +
           std::to_string(y + 14) + "\" text-anchor=\"end\">" + esc(label) + "</text><rect x=\"" +
           std::to_string(labelWidth) + "\" y=\"" + std::to_string(y + 3) + "\" width=\"" +
           std::to_string(barWidth) + "\" height=\"" + std::to_string(rowHeight - 6) +
           "\" fill=\"#5b8fd6\"/><text x=\"" + std::to_string(labelWidth + barWidth + 5) +
           "\" y=\"" + std::to_string(y + 14) + "\">" + grouped(b.value) + "</text></a>";
    y += rowHeight;
  }
  return svg + "</svg>";
}

std::string pager(const std::string& base, size_t page, size_t shown, bool more) {
  const size_t first = page * kPageRows;
  std::string out = "<div class=\"pager\">";
  if (shown == 0)
    out += "no rows on this page";
  else
    out += "rows " + grouped(static_cast<int64_t>(first + 1)) + " to " +
           grouped(static_cast<int64_t>(first + shown));
  if (page > 0)
    out += "<a rel=\"prev\" href=\"" + esc(base) + "page=" + std::to_string(page - 1) +
           "\">&larr; previous</a>";
  if (more)
    out += "<a rel=\"next\" href=\"" + esc(base) + "page=" + std::to_string(page + 1) +
           "\">next &rarr;</a>";
  return out + "</div>";
}

}  // namespace web
