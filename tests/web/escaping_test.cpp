// Hostile heap texts and hostile input in every place the pages and /api write them: each page
// stays well formed with only the pages' own elements and attributes, each text reads back as
// the console shows it, a URL built from input leads back to the same input, and /api stays
// JSON that gives back the heap's names. Once with every hostile piece in every text, then on
// random heaps.
#include <unistd.h>

#include <httplib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "cli/format.h"
#include "tests/common/hostile_dump.h"
#include "tests/web/html_strict.h"
#include "tests/web/served.h"
#include "web/server.h"
#include "web/site.h"

namespace {

using nlohmann::json;

// Letters and digits as they are, every other byte as %XX: the test's own encoding of input.
std::string percent(const std::string& s) {
  std::string out;
  for (const unsigned char c : s) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02X", c);
    out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : buf;
  }
  return out;
}

// A name as /api gives it back: each byte that starts no UTF-8 character becomes U+FFFD.
std::string asJson(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    uint32_t cp;
    const size_t n = hostile::utf8At(s, i, cp);
    out += n ? s.substr(i, n) : "\xEF\xBF\xBD";
    i += n ? n : 1;
  }
  return out;
}

// A link a page writes (but the page icon's "data:,"): a path of plain characters, then
// parameters whose values are plain or %XX, then perhaps a fragment.
bool wellFormedUrl(const std::string& url) {
  static const std::regex kUrl(
      "/[A-Za-z0-9/._~$-]*(\\?([a-z]+=([A-Za-z0-9/._~$-]|%[0-9A-F]{2})*&?)*)?(#[a-z]+)?");
  return std::regex_match(url, kUrl);
}

// One heap served in this process; its get() sends a path as the test encoded it.
struct Served : webtest::Served {
  explicit Served(const std::string& heap) : webtest::Served(options(heap)) {}
  static cli::GlobalOptions options(const std::string& heap) {
    cli::GlobalOptions o;
    o.heap = heap;
    return o;
  }
  httplib::Result get(const std::string& path) const { return webtest::Served::get(path, true); }
};

// The page at `path`, read strictly; a failure names the page.
strict::Markup page(Served& s, const std::string& path, int status = 200) {
  static const std::set<std::string> kElements = {
      "html", "head", "meta",  "link",   "title", "style", "body", "header", "strong",
      "a",    "form", "input", "button", "main",  "h1",    "h2",   "p",      "dl",
      "dt",   "dd",   "code",  "table",  "thead", "tbody", "tr",   "th",     "td",
      "span", "div",  "pre",   "br",     "svg",   "text",  "rect", "label"};
  static const std::set<std::string> kAttributes = {
      "lang",    "charset",     "name",        "content",     "rel",        "href",   "action",
      "method",  "role",        "type",        "placeholder", "aria-label", "class",  "value",
      "checked", "data-column", "id",          "xmlns",       "width",      "height", "x",
      "y",       "font-weight", "text-anchor", "fill"};
  const httplib::Result r = s.get(path);
  if (!r) {
    ADD_FAILURE() << path << ": no answer";
    return {};
  }
  EXPECT_EQ(r->status, status) << path;
  strict::Markup m = strict::parse(r->body);
  EXPECT_EQ(m.error, "") << path;
  for (const strict::Element& e : m.elements) {
    EXPECT_TRUE(kElements.count(e.name)) << path << ": <" << e.name << ">";
    for (const auto& [name, value] : e.attributes) {
      EXPECT_TRUE(kAttributes.count(name)) << path << ": <" << e.name << " " << name << ">";
      if (name == "href" && value != "data:,") {
        EXPECT_TRUE(wellFormedUrl(value)) << path << ": " << value;
      }
    }
  }
  return m;
}

// The page shows `text` as the console shows it: read from the heap, or from the console's JSON
// records, where a byte that is not UTF-8 was already U+FFFD.
void expectShows(const strict::Markup& m, const std::string& text, const std::string& where) {
  EXPECT_TRUE(m.text.find(hostile::shown(text)) != std::string::npos ||
              m.text.find(hostile::shown(asJson(text))) != std::string::npos)
      << where << " does not show " << testing::PrintToString(hostile::shown(text));
}

std::string valueOf(const strict::Element& e, const std::string& key) {
  for (const auto& [name, value] : e.attributes)
    if (name == key) return value;
  return "";
}

// What the census's filter box holds.
std::string prefixBox(const strict::Markup& m) {
  for (const strict::Element& e : m.elements)
    if (e.name == "input" && valueOf(e, "name") == "prefix") return valueOf(e, "value");
  return "(no box)";
}

// The user's own text in each place a page takes it: the census prefix (written back into its
// box and into the links that sort), the search, a handle and a page number.
void checkInput(Served& s, const std::string& input) {
  SCOPED_TRACE("input " + testing::PrintToString(input));
  const std::string prefix = "h/" + input;
  const strict::Markup census = page(s, "/classes?prefix=" + percent(prefix));
  EXPECT_EQ(prefixBox(census), hostile::shown(prefix));
  size_t links = 0;
  for (const strict::Element& e : census.elements) {
    if (e.name != "a") continue;
    const std::string href = valueOf(e, "href");
    if (href.find("sort=") == std::string::npos) continue;
    ++links;  // the sorted census, asked for through the link, filters by the same prefix
    EXPECT_EQ(prefixBox(page(s, href)), hostile::shown(prefix)) << href;
  }
  EXPECT_GE(links, 3u);
  expectShows(page(s, "/search?q=" + percent(prefix)), prefix, "search");
  // A path segment holds no '/'.
  std::string word = "z" + input;
  word.erase(std::remove(word.begin(), word.end(), '/'), word.end());
  expectShows(page(s, "/object/" + percent(word), 400), word, "handle");
  expectShows(page(s, "/classes?page=" + percent(word), 400), word, "page number");
  expectShows(page(s, "/classes?sort=" + percent(word), 400), word, "sort column");
  const httplib::Result api = s.get("/api/info/" + percent(word));
  ASSERT_TRUE(api);
  EXPECT_EQ(api->status, 400);
  const json error = json::parse(api->body);
  EXPECT_NE(error["error"].get<std::string>().find(hostile::shown(word)), std::string::npos)
      << api->body;
}

// Every page that shows the heap's texts, and /api's records of them.
void checkHeap(const hostile::Heap& h, const std::vector<std::string>& inputs) {
  const std::string file = TAVOLIN_BINARY_DIR "/escaping-" + std::to_string(getpid()) + ".hprof";
  hproftest::HprofWriter::save(file, hostile::writeDump(h));
  Served s(file);
  std::filesystem::remove(file);
  using H = hostile::Heap;

  for (const char* path : {"/", "/dominators", "/roots", "/missing"}) page(s, path);
  const strict::Markup census = page(s, "/classes"), threads = page(s, "/threads");
  for (size_t i = 0; i < h.classNames.size(); ++i) {
    SCOPED_TRACE("class " + std::to_string(i));
    expectShows(census, h.className(i), "the census");
    expectShows(page(s, "/class/" + s.hex(H::id(H::kFirstClass, i))), h.className(i), "its page");
    expectShows(page(s, "/object/" + s.hex(H::id(H::kFirstClass, i))), "S" + h.fieldNames[i],
                "the class object");
    const strict::Markup instance = page(s, "/object/" + s.hex(H::id(H::kFirstInstance, i)));
    expectShows(instance, h.className(i), "the instance");
    expectShows(instance, h.fieldNames[i], "the instance");
    expectShows(page(s, "/object/" + s.hex(H::id(H::kFirstString, i))), h.strings[i], "the String");
  }
  for (size_t i = 0; i < h.threadNames.size(); ++i) {
    expectShows(threads, h.threadNames[i], "the threads");
    expectShows(threads, h.methodNames[i], "the threads");
  }

  // /api: JSON whatever the names hold, giving back each name (broken UTF-8 as U+FFFD).
  std::multiset<std::string> classes, threadNames, methods;
  for (const json& r : json::parse(s.get("/api/classes")->body)) classes.insert(r["class"]);
  for (size_t i = 0; i < h.classNames.size(); ++i) {
    EXPECT_EQ(classes.count(asJson(h.className(i))), 1u) << i;
    const json fields =
        json::parse(s.get("/api/fields/" + s.hex(H::id(H::kFirstInstance, i)))->body);
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0]["field"], asJson(h.fieldNames[i]));
    const json info = json::parse(s.get("/api/info/" + s.hex(H::id(H::kFirstString, i)))->body);
    EXPECT_EQ(info.at(0)["toString"], h.strings[i]);
  }
  for (const json& t : json::parse(s.get("/api/threads")->body)) {
    threadNames.insert(t["name"].get<std::string>());
    for (const json& f : t["frames"]) methods.insert(f["method"].get<std::string>());
  }
  std::multiset<std::string> wantedThreads, wantedMethods;
  for (size_t i = 0; i < h.threadNames.size(); ++i) {
    wantedThreads.insert(h.threadNames[i]);
    wantedMethods.insert(asJson(h.methodNames[i]));
  }
  EXPECT_EQ(threadNames, wantedThreads);
  EXPECT_EQ(methods, wantedMethods);
  // A census of more than a page: the pager's link keeps the other parameters.
  size_t pagers = 0;
  for (const strict::Element& e :
       page(s, "/classes?prefix=h/&credit=1&sort=count&order=asc").elements)
    if (e.name == "a" && valueOf(e, "rel") == "next") {
      ++pagers;
      EXPECT_EQ(prefixBox(page(s, valueOf(e, "href"))), "h/");
    }
  EXPECT_EQ(pagers, h.plainClasses > 0 ? 1u : 0u);
  for (const std::string& input : inputs) checkInput(s, input);
}

TEST(PageEscaping, every_hostile_piece_in_every_heap_text_and_input_shows_as_text) {
  // The pieces as input, a few at a time: an error quotes at most 80 columns of it.
  std::vector<std::string> inputs(1);
  for (const std::string& p : hostile::pieces()) {
    if (inputs.back().size() >= 8) inputs.emplace_back();
    inputs.back() += p;
  }
  checkHeap(hostile::allInEveryText(), inputs);
}

TEST(PageEscaping, random_heap_texts_and_input_add_no_markup_and_read_back_as_written) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    hostile::Heap h;
    for (int i = 0; i < 4; ++i) {
      h.classNames.push_back(hostile::random(rng, 1 + rng() % 12));
      h.fieldNames.push_back(hostile::random(rng, 1 + rng() % 6));
      h.strings.push_back(hostile::random(rng, rng() % 20, true));
      h.threadNames.push_back(hostile::random(rng, rng() % 8, true));
      h.methodNames.push_back(hostile::random(rng, 1 + rng() % 6));
    }
    checkHeap(h, {hostile::random(rng, 6)});
  }
}

}  // namespace
