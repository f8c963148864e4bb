// Writing pages: the one function every heap text goes through on its way into HTML, the page
// frame with its built-in styles, links to classes and objects, tables and the bar chart.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace web {

// Heap text made safe for HTML: control characters and invalid UTF-8 shown as the console shows
// them, then & < > " ' as character references. Every text from a dump goes through this.
std::string esc(const std::string& text);

// A query parameter or path segment encoded for a URL (then escaped for the attribute by the
// caller's esc, which leaves the result unchanged).
std::string urlEncode(const std::string& text);

// "/object/0x1a2b" and the like: the stable address of a handle's page.
std::string objectUrl(uint32_t handle);
std::string classUrl(uint32_t handle);
// <a href="/object/0x..">0x..</a> with the class after it, for a handle of kind I, A, P or C.
std::string handleLink(char kind, uint32_t handle, const std::string& className);
std::string classLink(uint32_t handle, const std::string& className);

// A whole page: the title (escaped here), the navigation with the search box, then `body`,
// which the caller built from escaped pieces.
std::string page(const std::string& title, const std::string& body);

// "1,234,567".
std::string grouped(int64_t n);

struct Bar {
  std::string label;  // heap text: escaped here
  std::string href;   // a URL this program made
  int64_t value = 0;
};
// A horizontal bar chart as inline SVG, each bar a link.
std::string barChart(const std::string& title, const std::vector<Bar>& bars);

// "rows 501 to 1,000 of 1,234" with links to the first, previous, next and last page; `base` is
// the page's URL with its other parameters and ends in '?' or '&'. Nothing for a list that fits
// on one page.
std::string pager(const std::string& base, size_t page, size_t total);
// What a page past the end of a list shows in its place: that it is, and a link to the last.
std::string pastEnd(const std::string& base, size_t page, size_t total);

constexpr size_t kPageRows = 500;
// The highest page number a URL may ask for (pages count from 0): more pages of 500 than a heap of
// 2^29 handles could fill.
constexpr size_t kMaxPage = 1000000;
// The one answer to a page number that is not one: "page must be a whole number from 0 to ...".
std::string pageNumberError(const std::string& text);

}  // namespace web
