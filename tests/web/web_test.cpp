// The web pages over HTTP: every route's status and content, escaping of heap texts, paging,
// the baseline columns, JSON equal to the console's --json, many clients at once, and the
// serve command as a process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "cli/format.h"
#include "tests/web/served.h"
#include "tests/web/shop_dump.h"
#include "web/html.h"
#include "web/server.h"
#include "web/site.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string dumpDir() {
  static const std::string dir = [] {
    const std::string d = TAVOLIN_BINARY_DIR "/web_dumps";
    fs::create_directories(d);
    // Each test runs in a process of its own, and others may be reading the dumps: each is
    // written under a name of this process's and renamed over the old one whole.
    const std::string own = "." + std::to_string(getpid());
    hproftest::HprofWriter::save(d + "/shop-earlier.hprof" + own, webtest::writeShopDump(false));
    hproftest::HprofWriter::save(d + "/shop-later.hprof" + own, webtest::writeShopDump(true));
    fs::rename(d + "/shop-earlier.hprof" + own, d + "/shop-earlier.hprof");
    fs::rename(d + "/shop-later.hprof" + own, d + "/shop-later.hprof");
    return d;
  }();
  return dir;
}

using webtest::Served;

// The console's answer, as a person's script gets it.
std::string console(const std::string& args) {
  std::string out;
  FILE* p = popen((std::string(TAVOLIN_CONSOLE) + " " + args + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

uint32_t handleOfId(Served& s, uint64_t id) { return s.ctx.session().dump()->handleOfId.at(id); }

class ShopPages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cli::GlobalOptions o;
    o.heap = dumpDir() + "/shop-later.hprof";
    o.baseline = dumpDir() + "/shop-earlier.hprof";
    served_ = new Served(o);
  }
  static void TearDownTestSuite() {
    delete served_;
    served_ = nullptr;
  }
  static Served* served_;
  Served& s() { return *served_; }
  std::string hexOfId(uint64_t id) { return cli::hexHandle(handleOfId(s(), id)); }
};
Served* ShopPages::served_ = nullptr;

TEST_F(ShopPages, every_route_answers_with_its_status) {
  const std::string session = hexOfId(webtest::ids::kFirstSession);
  const std::string cache = hexOfId(webtest::ids::kCache);
  struct Case {
    std::string path;
    int status;
    std::string shows;
  };
  const std::vector<Case> cases = {
      {"/", 200, "Top classes by count"},
      {"/classes", 200, "shop/Session"},
      {"/classes?prefix=shop.S", 200, "shop/Session"},
      {"/classes?credit=1", 200, "java/lang/Object"},
      {"/classes?sort=class&order=asc", 200, "shop/Session"},
      {"/class/" + cache, 200, "Class shop/Cache"},
      {"/object/" + session, 200, "Path from a root"},
      {"/object/" + cache, 200, "static field"},
      {"/threads", 200, "run()"},
      {"/roots", 200, "thread object"},
      {"/missing", 200, "References to objects missing"},
      {"/search", 200, "Give a class name"},
      {"/search?q=shop.Sesion", 200, "Did you mean"},
      {"/api/classes", 200, "\"baselineCount\""},
      {"/api/usage", 200, "shop/Session"},
      {"/api/threads", 200, "frames"},
      {"/api/missing", 200, "["},
      {"/api/info/" + session, 200, "shop/Session"},
      {"/api/path/" + session, 200, "\"via\": \"static\""},
      {"/api/instances/" + hexOfId(webtest::ids::kSession), 200, "shop/Session"},
      {"/dominators", 200, "largest retained sizes"},
      {"/classes?retained=1", 200, "data-column=\"retained\""},
      {"/class/" + hexOfId(webtest::ids::kSession), 200, "instances not held below another"},
      {"/api/dominators?limit=3", 200, "\"shallow\""},
      {"/api/retained/" + session, 200, "\"dominated\""},
      {"/dominators?page=x", 400, "page"},
      {"/api/usage?retained=1", 400, "retained is not an option of usage"},
      {"/api/retained", 400, "needs a handle"},
      // A handle that names nothing, and malformed parameters.
      {"/object/0x1", 404, "no class, object or array has the handle 0x1"},
      {"/class/0x1", 404, "no class, object or array has the handle 0x1"},
      // A question that does not fit what the handle names.
      {"/class/" + session, 422, "is not a class"},
      {"/api/class-info/" + session, 422, "is not a valid class"},
      {"/api/instances/" + session, 422, "is not a class"},
      {"/api/instances/" + session + "?limit=5000", 422, "is not a class"},  // a streamed list
      {"/api/info/0x1", 404, "\"error\""},
      {"/api/refs/@ffff", 400, "not a handle"},
      {"/api/instances/shop.Nothing", 400, "not a handle"},
      {"/object/zz", 400, "not a handle"},
      {"/object/99999999999", 400, "not a handle"},
      {"/classes?page=-1", 400, "page"},
      {"/classes?page=abc", 400, "page"},
      {"/classes?sort=nonsense", 400, "no column"},
      {"/classes?sort=count&order=up", 400, "asc or desc"},
      {"/api/classes?limit=x", 400, "limit"},
      {"/api/classes?prefix=--json", 400, "\"error\""},
      {"/classes?prefix=--raw", 400, "does not begin with"},
      {"/api/nothing", 404, "no such query"},
      {"/api/info", 400, "needs a handle"},
      {"/nowhere", 404, "no page at /nowhere"},
      {"/../../../../etc/passwd", 404, ""},
      {"/static/..%2f..%2fetc%2fpasswd", 404, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const httplib::Result r = s().get(c.path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status);
    EXPECT_NE(r->body.find(c.shows), std::string::npos) << r->body.substr(0, 3000);
    EXPECT_EQ(r->body.find("root:x:0:0"), std::string::npos);
    if (c.status == 200) {
      EXPECT_TRUE(r->has_header("Server-Timing"));
    }
  }
  // A search that finds goes to the page: a class by any spelling, a handle, a dump id.
  for (const std::string& q :
       {std::string("shop.Session"), std::string("shop/Session"), std::string("Session"), session,
        std::to_string(handleOfId(s(), webtest::ids::kFirstSession)), std::string("@10000")}) {
    const httplib::Result r = s().get("/search?q=" + web::urlEncode(q));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 303) << q;
    const std::string where = r->get_header_value("Location");
    EXPECT_TRUE(where == "/class/" + hexOfId(webtest::ids::kSession) ||
                where == "/object/" + session)
        << q << " -> " << where;
  }
}

TEST_F(ShopPages, heap_texts_are_escaped_wherever_they_are_written) {
  const std::string note = hexOfId(webtest::ids::kNoteObj);
  const std::string markupString = hexOfId(webtest::ids::kMarkup);
  for (const std::string& path :
       {"/object/" + note, "/object/" + markupString, std::string("/classes"),
        std::string("/threads"), std::string("/"), "/class/" + hexOfId(webtest::ids::kTagged),
        "/search?q=" + web::urlEncode("<script>x</script>"), std::string("/dominators"),
        std::string("/classes?retained=1"), "/object/" + hexOfId(webtest::ids::kCache)}) {
    SCOPED_TRACE(path);
    const httplib::Result r = s().get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body.find("<script"), std::string::npos);
    EXPECT_EQ(r->body.find("<b>"), std::string::npos);
    EXPECT_EQ(r->body.find("<i>"), std::string::npos);
    EXPECT_NE(r->get_header_value("Content-Security-Policy").find("default-src 'none'"),
              std::string::npos);
  }
  EXPECT_NE(
      s().get("/object/" + markupString)->body.find("&lt;script&gt;document.title=&#39;pwned&#39;"),
      std::string::npos);
  EXPECT_NE(s().get("/classes")->body.find("shop/Tag&lt;b&gt;x&lt;/b&gt;"), std::string::npos);
  EXPECT_NE(s().get("/threads")->body.find("&lt;i&gt;worker&lt;/i&gt;"), std::string::npos);
}

TEST_F(ShopPages, long_lists_come_in_pages_of_500) {
  const std::string orderClass = hexOfId(webtest::ids::kOrder);
  const std::string orders = hexOfId(webtest::ids::kOrders);
  const std::regex row("<td class=\"n\">(\\d+)</td><td><a href=\"/object/(0x[0-9a-f]+)\"");
  std::vector<size_t> seen;
  std::vector<uint32_t> handles;
  for (int page = 0; page < 3; ++page) {
    const httplib::Result r = s().get("/class/" + orderClass + "?page=" + std::to_string(page));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    size_t rows = 0;
    for (auto it = std::sregex_iterator(r->body.begin(), r->body.end(), row);
         it != std::sregex_iterator(); ++it) {
      seen.push_back(std::stoul((*it)[1]));
      handles.push_back(static_cast<uint32_t>(std::stoul((*it)[2], nullptr, 16)));
      ++rows;
    }
    EXPECT_EQ(rows, page < 2 ? 500u : 200u) << page;
    EXPECT_EQ(r->body.find("rel=\"next\"") != std::string::npos, page < 2) << page;
    EXPECT_EQ(r->body.find("rel=\"prev\"") != std::string::npos, page > 0) << page;
  }
  ASSERT_EQ(seen.size(), 1200u);
  for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i + 1);
  // The pages' rows are the console's list, in its order; so is a slice the API asks for. Unasked,
  // the API answers one page and says how long the list is; a longer list is sent as it is made.
  const httplib::Result first = s().get("/api/instances/" + orderClass);
  EXPECT_EQ(json::parse(first->body).size(), 500u);
  EXPECT_EQ(first->get_header_value("X-Total-Count"), "1200");
  const httplib::Result whole = s().get("/api/instances/" + orderClass + "?limit=5000");
  EXPECT_EQ(whole->get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_EQ(whole->body, console("--heap " + dumpDir() + "/shop-later.hprof --baseline " +
                                 dumpDir() + "/shop-earlier.hprof --json instances " + orderClass));
  const json all = json::parse(whole->body);
  ASSERT_EQ(all.size(), 1200u);
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i]["handle"], handles[i]) << i;
  EXPECT_EQ(json::parse(s().get("/api/instances/" + orderClass + "?skip=499&limit=3")->body),
            json(all.begin() + 499, all.begin() + 502));
  EXPECT_EQ(s().get("/api/instances/" + orderClass + "?skip=x")->status, 400);
  EXPECT_EQ(s().get("/api/classes?skip=1")->status, 400);
  // What the array refers to: the first 500 elements of 1,200.
  const httplib::Result refs = s().get("/object/" + orders);
  ASSERT_TRUE(refs);
  EXPECT_EQ(count(refs->body, "element <code>["), 500u);
  EXPECT_NE(refs->body.find("element <code>[499]"), std::string::npos);
  // Past the end: the page says so and leads to the last one.
  const httplib::Result past = s().get("/class/" + orderClass + "?page=9");
  EXPECT_EQ(past->status, 200);
  EXPECT_NE(past->body.find("Page 9 is past the end: the list has 1,200 rows, on pages 0 to 2"),
            std::string::npos);
  EXPECT_NE(past->body.find("href=\"/class/" + orderClass + "?page=2\""), std::string::npos);
}

// The handles of a page's rows, in order, with the row numbers the page gives them.
std::vector<std::pair<size_t, uint32_t>> pageRows(const std::string& body) {
  static const std::regex row(
      "<tr><td class=\"n\">(\\d+)</td><td>(?:<a href=\"/object/(0x[0-9a-f]+)\">class object</a>"
      "|<a href=\"/object/(0x[0-9a-f]+)\")");
  std::vector<std::pair<size_t, uint32_t>> rows;
  for (auto it = std::sregex_iterator(body.begin(), body.end(), row); it != std::sregex_iterator();
       ++it) {
    const std::string hex = (*it)[2].matched ? (*it)[2] : (*it)[3];
    rows.emplace_back(std::stoul((*it)[1]), static_cast<uint32_t>(std::stoul(hex, nullptr, 16)));
  }
  return rows;
}

// A deep page is the console's own stretch of the list: the server ranks every object once, the
// console's first 1,000 rows come from a partial sort, and both must agree row for row.
TEST_F(ShopPages, a_deep_page_shows_the_rows_the_console_lists_there) {
  const std::string heap = "--heap " + dumpDir() + "/shop-later.hprof --json ";
  const std::string orderClass = hexOfId(webtest::ids::kOrder);
  struct List {
    std::string page, console;
  };
  for (const List& l : {List{"/dominators?page=1", "dominators --limit 1000"},
                        List{"/class/" + orderClass + "?page=1", "instances " + orderClass}}) {
    SCOPED_TRACE(l.page);
    const json all = json::parse(console(heap + l.console));
    ASSERT_GE(all.size(), 1000u);
    const auto rows = pageRows(s().get(l.page)->body);
    ASSERT_EQ(rows.size(), 500u);
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].first, 501 + i);
      EXPECT_EQ(rows[i].second, all[500 + i]["handle"].get<uint32_t>()) << i;
    }
    // The console's own --skip gives the same stretch as its --limit.
    const json skipped = json::parse(console(heap + l.console + " --skip 500 --limit 500"));
    EXPECT_EQ(skipped, json(all.begin() + 500, all.begin() + 1000));
  }
}

// Every list takes the same page numbers and refuses others with one message; past its last
// page every list says so.
TEST_F(ShopPages, every_list_takes_one_grammar_of_page_numbers) {
  const std::string orderClass = hexOfId(webtest::ids::kOrder);
  const std::string added = hexOfId(webtest::ids::kAddedObj);
  for (const std::string& list :
       {std::string("/classes"), "/class/" + orderClass, "/object/" + added,
        std::string("/dominators"), std::string("/missing")}) {
    SCOPED_TRACE(list);
    for (const std::string bad : {"-1", "abc", "1.5", "", "1000001", "99999999", "0x10"}) {
      const httplib::Result r = s().get(list + "?page=" + web::urlEncode(bad));
      ASSERT_TRUE(r);
      EXPECT_EQ(r->status, 400) << bad;
      EXPECT_NE(r->body.find(web::esc(web::pageNumberError(bad))), std::string::npos) << bad;
    }
    const httplib::Result far = s().get(list + "?page=1000000");
    EXPECT_EQ(far->status, 200);
    EXPECT_NE(far->body.find("Page 1000000 is past the end"), std::string::npos);
  }
}

// Referrers alike but for their holder are one row with their count, and the counts add up to
// the console's whole list, group by group.
TEST_F(ShopPages, referrers_alike_are_counted_once_with_an_example) {
  const std::string heap = "--heap " + dumpDir() + "/shop-later.hprof --json ";
  for (uint64_t id :
       {webtest::ids::kAddedObj, webtest::ids::kFirstOrder + 16 * 3, webtest::ids::kSessions}) {
    const std::string hex = hexOfId(id);
    SCOPED_TRACE(hex);
    const json rows = json::parse(console(heap + "referrers " + hex));
    const json groups = json::parse(console(heap + "referrers " + hex + " --grouped"));
    std::map<std::string, int64_t> expected;
    std::map<std::string, std::set<uint32_t>> holders;
    for (const json& r : rows) {
      const std::string key = r["kind"].get<std::string>() + " " + r["class"].get<std::string>() +
                              " " + r["via"].get<std::string>() + " " +
                              r.value("field", r.value("method", std::string()));
      ++expected[key];
      holders[key].insert(r["handle"].get<uint32_t>());
    }
    int64_t sum = 0, previous = INT64_MAX;
    for (const json& g : groups) {
      const std::string key = g["kind"].get<std::string>() + " " + g["class"].get<std::string>() +
                              " " + g["via"].get<std::string>() + " " +
                              g.value("field", g.value("method", std::string()));
      const int64_t n = g["count"].get<int64_t>();
      EXPECT_EQ(n, expected[key]) << key;
      EXPECT_LE(n, previous);  // the largest first
      EXPECT_EQ(holders[key].count(g["handle"].get<uint32_t>()), 1u) << key;
      sum += n;
      previous = n;
    }
    EXPECT_EQ(groups.size(), expected.size());
    EXPECT_EQ(sum, static_cast<int64_t>(rows.size()));
    // The page shows the total and each group once, linking its example.
    const std::string page = s().get("/object/" + hex)->body;
    EXPECT_NE(page.find(web::grouped(sum) + (sum == 1 ? " referrer" : " referrers")),
              std::string::npos);
    for (const json& g : groups) {
      if (g["count"].get<int64_t>() == 1) continue;
      EXPECT_NE(page.find(" &times;" + web::grouped(g["count"].get<int64_t>()) +
                          " <span class=\"muted\">e.g.</span> <a href=\"/object/" +
                          cli::hexHandle(g["handle"].get<uint32_t>())),
                std::string::npos);
    }
  }
}

TEST_F(ShopPages, the_census_compares_with_the_baseline_and_sorts_by_any_column) {
  const json records = json::parse(s().get("/api/classes")->body);
  std::map<std::string, json> byClass;
  for (const json& r : records)
    byClass[r["kind"].get<std::string>() + r["class"].get<std::string>()] = r;
  const json& session = byClass["Cshop/Session"];
  EXPECT_EQ(session["count"], 7);
  EXPECT_EQ(session["baselineCount"], 3);
  EXPECT_EQ(session["countChange"], 4);
  EXPECT_EQ(session["status"], "both");
  EXPECT_EQ(byClass["Cshop/Added"]["status"], "new");
  EXPECT_TRUE(byClass["Cshop/Added"]["baselineCount"].is_null());
  EXPECT_EQ(byClass["Cshop/Order"]["countChange"], 1200);
  // Neither heap's figures count the queries' own objects (their Strings and output streams).
  EXPECT_EQ(byClass["Cjava/lang/String"]["count"], 2);
  EXPECT_EQ(byClass["Cjava/lang/String"]["baselineCount"], 2);
  EXPECT_EQ(byClass.count("Cjava/io/ByteArrayOutputStream"), 0u);
  // Largest growth first.
  for (size_t i = 1; i < records.size(); ++i)
    EXPECT_GE(records[i - 1]["countChange"].get<int64_t>(),
              records[i]["countChange"].get<int64_t>());

  const std::string page = s().get("/classes")->body;
  EXPECT_NE(page.find("<span class=\"tag\">new</span>"), std::string::npos);
  EXPECT_LT(page.find("shop/Order"), page.find("shop/Session"));
  const std::string ascending = s().get("/classes?sort=countChange&order=asc")->body;
  EXPECT_GT(ascending.find("shop/Order"), ascending.find("shop/Session"));
  const std::string byName = s().get("/classes?sort=class&order=desc")->body;
  EXPECT_LT(byName.find("shop/Tag"), byName.find("shop/Added"));

  // An object's page says whether the baseline had its dump id.
  const std::string kept = s().get("/object/" + hexOfId(webtest::ids::kFirstSession))->body;
  const std::string added =
      s().get("/object/" + hexOfId(webtest::ids::kFirstSession + 16 * 5))->body;
  EXPECT_NE(kept.find("yes: the baseline dump has an object with this id"), std::string::npos);
  EXPECT_NE(added.find("no object of the baseline has this id"), std::string::npos);

  // The console's table and JSON carry the same comparison.
  const std::string heaps =
      "--heap " + dumpDir() + "/shop-later.hprof --baseline " + dumpDir() + "/shop-earlier.hprof";
  const std::string table = console(heaps + " classes shop/");
  EXPECT_NE(table.find("new"), std::string::npos) << table;
  EXPECT_NE(table.find("+1200"), std::string::npos) << table;
}

TEST_F(ShopPages, the_json_is_the_consoles) {
  const std::string heaps = "--heap " + dumpDir() + "/shop-later.hprof --baseline " + dumpDir() +
                            "/shop-earlier.hprof --json ";
  const std::string session = hexOfId(webtest::ids::kFirstSession);
  const std::string cache = hexOfId(webtest::ids::kCache);
  const std::vector<std::pair<std::string, std::string>> same = {
      {"/api/classes", "classes"},
      {"/api/classes?prefix=shop/&credit=1", "classes shop/ --superclasses"},
      {"/api/usage", "usage"},
      {"/api/threads", "threads"},
      {"/api/missing", "missing"},
      {"/api/class-info/" + cache, "class-info " + cache},
      {"/api/info/" + session, "info " + session},
      {"/api/fields/" + session, "fields " + session},
      {"/api/refs/" + cache, "refs " + cache},
      {"/api/referrers/" + session, "referrers " + session},
      {"/api/path/" + session, "path " + session},
      {"/api/instances/" + hexOfId(webtest::ids::kOrder) + "?limit=7",
       "instances " + hexOfId(webtest::ids::kOrder) + " --limit 7"},
      // The server keeps a list once listed, and reads a page's kinds and classes from the heap.
      {"/api/instances/" + hexOfId(webtest::ids::kClass) + "?skip=2&limit=9",
       "instances " + hexOfId(webtest::ids::kClass) + " --skip 2 --limit 9"},
      {"/api/instances/" + hexOfId(webtest::ids::kObject) + "?arrays=1",
       "instances " + hexOfId(webtest::ids::kObject) + " --arrays"},
      {"/api/instances/" + hexOfId(webtest::ids::kObject) + "?subclasses=1&skip=1190&limit=30",
       "instances " + hexOfId(webtest::ids::kObject) + " --subclasses --skip 1190 --limit 30"},
      {"/api/dominators", "dominators"},
      {"/api/dominators?limit=5", "dominators --limit 5"},
      {"/api/retained/" + session, "retained " + session},
      // Unasked, a long list is its first page.
      {"/api/retained/" + hexOfId(webtest::ids::kOrders),
       "retained " + hexOfId(webtest::ids::kOrders) + " --limit 500"},
      {"/api/classes?retained=1&credit=1", "classes --superclasses --retained"},
  };
  for (const auto& [path, words] : same) {
    const std::string expected = console(heaps + words);
    ASSERT_FALSE(expected.empty()) << words;
    const std::string got = s().get(path)->body;
    EXPECT_TRUE(got == expected) << path << "\n" << got.substr(0, 2000);
  }
}

// From the dominators page down the tree: each object's page links the objects it immediately
// dominates, with the figures the console's `retained` gives; the class and path show theirs.
TEST_F(ShopPages, the_dominator_tree_is_walked_down_through_links) {
  const std::string heap = "--heap " + dumpDir() + "/shop-later.hprof --json ";
  const json top = json::parse(console(heap + "dominators --limit 1"));
  ASSERT_EQ(top.size(), 1u);
  const std::string topHex = cli::hexHandle(top[0]["handle"].get<uint32_t>());
  EXPECT_NE(s().get("/dominators")->body.find("href=\"/object/" + topHex + "\""),
            std::string::npos);
  // The class object holds the sessions' array alone, and the array each session.
  const std::vector<uint64_t> chain{webtest::ids::kCache, webtest::ids::kSessions,
                                    webtest::ids::kFirstSession};
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    const std::string hex = hexOfId(chain[i]);
    SCOPED_TRACE(hex);
    const json r = json::parse(console(heap + "retained " + hex));
    ASSERT_GE(r.size(), 2u);
    const std::string body = s().get("/object/" + hex)->body;
    const size_t from = body.find("id=\"retained\""), to = body.find("<h2>Fields");
    ASSERT_LT(from, to);
    const std::string section = body.substr(from, to - from);
    EXPECT_NE(section.find(web::grouped(r[0]["retained"].get<int64_t>()) + " bytes"),
              std::string::npos)
        << section;
    for (size_t k = 1; k < r.size(); ++k)
      EXPECT_NE(section.find("href=\"/object/" + cli::hexHandle(r[k]["handle"].get<uint32_t>())),
                std::string::npos);
    EXPECT_NE(section.find("href=\"/object/" + hexOfId(chain[i + 1]) + "\""), std::string::npos)
        << section;
  }
  const json cls = json::parse(console(heap + "retained shop/Session"));
  const std::string classPage = s().get("/class/" + hexOfId(webtest::ids::kSession))->body;
  EXPECT_NE(classPage.find(web::grouped(cls[0]["retained"].get<int64_t>()) + " bytes, retained by"),
            std::string::npos);
  const json path = json::parse(console(heap + "path " + hexOfId(webtest::ids::kNoteObj)));
  const std::string pathRow = "</a> shop/Note</td><td class=\"n\">" +
                              web::grouped(path.back()["retained"].get<int64_t>()) + "</td>";
  EXPECT_NE(s().get("/object/" + hexOfId(webtest::ids::kNoteObj))->body.find(pathRow),
            std::string::npos);
}

// 8 clients making 1,000 requests each, across the routes: every answer equals the one given
// to a single client, and the VM holds no more than it did before.
TEST_F(ShopPages, many_clients_at_once_get_the_answers_one_client_gets) {
  const std::vector<std::string> paths = {
      "/",
      "/classes",
      "/classes?prefix=shop/&sort=count",
      "/class/" + hexOfId(webtest::ids::kOrder) + "?page=1",
      "/object/" + hexOfId(webtest::ids::kFirstSession),
      "/object/" + hexOfId(webtest::ids::kNoteObj),
      "/threads",
      "/api/path/" + hexOfId(webtest::ids::kFirstSession + 16),
      "/api/referrers/" + hexOfId(webtest::ids::kFirstOrder + 16 * 700),
      "/api/instances/" + hexOfId(webtest::ids::kString),
      "/api/classes?prefix=java/lang/",
      "/api/retained/" + hexOfId(webtest::ids::kCache),
      "/dominators",
      "/object/0x1",
  };
  std::map<std::string, std::pair<int, std::string>> expected;
  for (const std::string& p : paths) {
    const httplib::Result r = s().get(p);
    ASSERT_TRUE(r) << p;
    expected[p] = {r->status, r->body};
  }
  const simvm::Vm::Mark before = s().site.vm().mark();
  constexpr int kClients = 8, kEach = 1000;
  std::atomic<int> wrong{0}, failed{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", s().port);
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      for (int i = 0; i < kEach; ++i) {
        const std::string& p = paths[(c * 7 + i) % paths.size()];
        const httplib::Result r = client.Get(p.c_str());
        if (!r)
          ++failed;
        else if (r->status != expected[p].first || r->body != expected[p].second)
          ++wrong;
      }
    });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  const simvm::Vm::Mark after = s().site.vm().mark();
  EXPECT_EQ(after.nextSlot, before.nextSlot);
  EXPECT_EQ(after.arenaNext, before.arenaNext);
}

// A page another site points a name of its own at (DNS rebinding) is refused; so is a second
// server on the port, and every method but GET and HEAD.
TEST_F(ShopPages, only_requests_addressed_to_this_server_are_answered) {
  const std::string port = std::to_string(s().port);
  const std::vector<std::pair<std::string, int>> hosts = {
      {"127.0.0.1:" + port, 200},
      {"localhost:" + port, 200},
      {"LocalHost:" + port, 200},
      {"[::1]:" + port, 200},
      {"evil.example:" + port, 421},
      {"evil.example", 421},
      {"127.0.0.1", 421},
      {"127.0.0.1:1" + port, 421},
      {"localhost.evil:" + port, 421},
      {"127.0.0.1:" + port + "x", 421},
      {"", 421},
  };
  for (const auto& [host, status] : hosts) {
    for (const char* path : {"/classes", "/api/threads"}) {
      httplib::Client c("127.0.0.1", s().port);
      const httplib::Result r = c.Get(path, {{"Host", host}});
      ASSERT_TRUE(r) << host;
      EXPECT_EQ(r->status, status) << host << " " << path;
      if (status != 200) {
        EXPECT_EQ(r->body.find("shop/"), std::string::npos) << r->body;
      }
    }
  }
  httplib::Client c("127.0.0.1", s().port);
  EXPECT_EQ(c.Post("/classes", "x", "text/plain")->status, 405);
  EXPECT_EQ(c.Delete("/api/classes")->status, 405);
  EXPECT_EQ(c.Head("/classes")->status, 200);

  web::Server second(s().site);
  EXPECT_EQ(second.bind("127.0.0.1", s().port), -1);
  int status = -1;
  std::string text;
  {
    FILE* p =
        popen((std::string(TAVOLIN_CONSOLE) + " serve --port " + port + " 2>&1").c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    status = p == nullptr ? -1 : pclose(p);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(text.find("the port is in use"), std::string::npos) << text;
  EXPECT_EQ(text.find("serving"), std::string::npos) << text;
}

// Stopping while clients keep asking: every request gets its page or a 503, never a closed
// connection, and whatever was running when the stop came runs to its end.
TEST(ServerStop, answers_every_request_in_flight_with_its_page_or_503) {
  cli::GlobalOptions o;
  o.heap = dumpDir() + "/shop-later.hprof";
  Served served(o);
  constexpr int kClients = 8;
  std::atomic<int> pages{0}, unavailable{0}, cut{0}, other{0};
  std::atomic<bool> stopCalled{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&] {
      httplib::Client client("127.0.0.1", served.port);
      client.set_keep_alive(true);
      for (int i = 0; i < 100000; ++i) {
        const httplib::Result r = client.Get(i % 2 ? "/classes" : "/api/referrers/0x10000000");
        if (!r) {
          // Refused once the socket is closed: only after the stop, and never mid-answer.
          if (!stopCalled || r.error() != httplib::Error::Connection) ++cut;
          return;
        }
        if (r->status == 503) {
          ++unavailable;
          return;
        }
        ++(r->status == 200 || r->status == 404 ? pages : other);
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stopCalled = true;
  served.server.stop();
  for (std::thread& t : clients) t.join();
  served.thread.join();
  served.thread = std::thread([] {});  // joined again by the destructor
  EXPECT_GT(pages.load(), 0);
  EXPECT_EQ(cut.load(), 0);
  EXPECT_EQ(other.load(), 0);
}

int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(ShopPages, clients_that_leave_early_or_send_a_huge_request_line_leave_it_answering) {
  for (int i = 0; i < 50; ++i) {
    const int fd = connectTo(s().port);
    ASSERT_GE(fd, 0);
    const std::string req = "GET /classes HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
    close(fd);  // gone before the page is read
  }
  {
    const int fd = connectTo(s().port);
    ASSERT_GE(fd, 0);
    const std::string req = "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n";
    size_t sent = 0;
    while (sent < req.size()) {
      const ssize_t n = send(fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    char buf[64] = {};
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    if (n > 0) {
      EXPECT_EQ(std::string(buf).find("200"), std::string::npos) << buf;
    }
    close(fd);
  }
  const httplib::Result r = s().get("/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
}

// The demo heap, served by the program itself: address printed once loaded, loopback unless
// told otherwise, a clean stop on SIGTERM.
TEST(ServeCommand, prints_its_address_serves_and_stops_on_sigterm) {
  for (const bool anyAddress : {false, true}) {
    int out[2], err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      if (anyAddress)
        execl(TAVOLIN_CONSOLE, TAVOLIN_CONSOLE, "serve", "--port", "0", "--bind", "0.0.0.0",
              nullptr);
      else
        execl(TAVOLIN_CONSOLE, TAVOLIN_CONSOLE, "serve", "--port", "0", nullptr);
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    const std::smatch m = [&] {
      std::smatch found;
      std::regex_search(line, found, std::regex("http://([0-9.]+):([0-9]+)/"));
      return found;
    }();
    ASSERT_EQ(m.size(), 3u) << line;
    EXPECT_EQ(m[1].str(), anyAddress ? "0.0.0.0" : "127.0.0.1");
    httplib::Client client("127.0.0.1", std::stoi(m[2].str()));
    const httplib::Result r = client.Get("/classes?prefix=com.acme.shop.");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->body.find("com/acme/shop/Session"), std::string::npos);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string rest, errors;
    for (ssize_t n; (n = read(out[0], &c, 1)) == 1;) rest += c;
    for (ssize_t n; (n = read(err[0], &c, 1)) == 1;) errors += c;
    close(out[0]);
    close(err[0]);
    EXPECT_NE(rest.find("stopped"), std::string::npos) << rest;
    EXPECT_EQ(errors.find("not only on this machine's loopback") != std::string::npos, anyAddress)
        << errors;
  }
}

// serve parses its own options: its usage line shows them, and --raw or --json (which it
// has no use for) is refused before any heap is loaded, not ignored.
TEST(ServeCommand, its_usage_names_its_own_options_and_refuses_raw_and_json) {
  auto run = [](const std::string& args) {
    std::string text;
    FILE* p = popen((std::string(TAVOLIN_CONSOLE) + " " + args + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (size_t n; p != nullptr && (n = fread(buffer, 1, sizeof buffer, p)) > 0;)
      text.append(buffer, n);
    const int status = p == nullptr ? -1 : pclose(p);
    return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, text);
  };
  const auto help = run("help serve");
  EXPECT_EQ(help.first, 0);
  EXPECT_EQ(help.second.rfind("usage: tavolin serve [--heap FILE] [--baseline FILE]", 0), 0u)
      << help.second;
  for (const char* mode : {"--raw", "--json"}) {
    const auto r = run(std::string(mode) + " serve --heap /nonexistent/x.hprof --port 0");
    EXPECT_EQ(r.first, 2) << mode;
    EXPECT_NE(r.second.find("no --raw or --json form"), std::string::npos) << r.second;
  }
}

// Writes the dumps the browser test serves (the ctest fixture runs this first).
TEST(WebDumps, written_for_the_browser_test) {
  EXPECT_TRUE(fs::exists(dumpDir() + "/shop-later.hprof"));
}

}  // namespace
