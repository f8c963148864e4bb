#include "web/pages.h"

#include <algorithm>

#include "cli/format.h"
#include "cli/session.h"
#include "hprof/hprof.h"
#include "web/html.h"

namespace web {
namespace {

using nlohmann::json;

std::string param(const Params& p, const std::string& name, const std::string& otherwise = "") {
  auto it = p.find(name);
  return it == p.end() ? otherwise : it->second;
}

bool flag(const Params& p, const std::string& name) {
  const std::string v = param(p, name);
  return !v.empty() && v != "0" && v != "off";
}

size_t pageParam(const Params& p) {
  const std::string text = param(p, "page", "0");
  const std::optional<int32_t> n = cli::parseCount(text);
  if (!n || *n > 1000000)
    throw HttpError(400, "page must be a whole number, not " + cli::quoteInput(text));
  return static_cast<size_t>(*n);
}

std::string str(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t num(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_number() ? it->get<int64_t>() : 0;
}

uint32_t handleOf(const json& j) { return static_cast<uint32_t>(num(j, "handle")); }

char kindOf(const json& j) {
  const std::string k = str(j, "kind");
  return k.empty() ? 'I' : k[0];
}

std::string link(const json& r) { return handleLink(kindOf(r), handleOf(r), str(r, "class")); }

// How a holder holds the next object, as the console says it.
std::string viaText(const json& r) {
  const std::string via = str(r, "via");
  if (via == "static") return "static field <code>" + esc(str(r, "field")) + "</code>";
  if (via == "field") return "field <code>" + esc(str(r, "field")) + "</code>";
  if (via == "element") return "element <code>[" + std::to_string(num(r, "index")) + "]</code>";
  if (via == "local") return "local of <code>" + esc(str(r, "method")) + "()</code>";
  if (r.contains("root")) return "root: " + esc(str(r, "root"));
  return "";
}

// "1 object", "2 objects".
std::string counted(int64_t n, const char* one, const char* many) {
  return grouped(n) + " " + (n == 1 ? one : many);
}

std::string errorBox(const std::string& text) { return "<p class=\"error\">" + esc(text) + "</p>"; }

// The records of an answer, or the answer's error shown in their place.
const json& records(const Answer& a, std::string& html) {
  static const json kNone = json::array();
  if (a.json.is_array()) return a.json;
  if (a.json.is_object() && a.json.contains("noPath"))
    html += "<p class=\"note\">" + esc(str(a.json, "noPath")) + "</p>";
  else if (!a.error().empty())
    html += errorBox(a.error());
  else if (!a.text.empty())
    html += "<p class=\"note\">" + esc(a.text) + "</p>";
  return kNone;
}

std::string limitWord(size_t page) { return std::to_string((page + 1) * kPageRows + 1); }

// The words that ask a command taking --skip for a page's rows and one more, which tells
// whether another page follows.
std::vector<std::string> pageWords(size_t page) {
  return {"--skip", std::to_string(page * kPageRows), "--limit", std::to_string(kPageRows + 1)};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Rows [page * 500, +500) of a list whose first row is row `offset` of the whole: asked for with
// limitWord(page) (offset 0), or with pageWords(page) (offset page * 500).
template <class F>
std::string pagedTable(const json& rows, size_t page, const std::string& base,
                       const std::string& head, F row, size_t offset = 0) {
  const size_t first = page * kPageRows - offset;
  const size_t end = std::min(rows.size(), first + kPageRows);
  std::string html = "<table><thead><tr>" + head + "</tr></thead><tbody>";
  for (size_t i = first; i < end; ++i) html += "<tr>" + row(rows[i], i + offset) + "</tr>";
  html += "</tbody></table>";
  const size_t shown = end > first ? end - first : 0;
  if (page > 0 || rows.size() > end) html += pager(base, page, shown, rows.size() > end);
  return html;
}

std::string hexId(uint64_t id) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "@%llx", static_cast<unsigned long long>(id));
  return buf;
}

std::string changeCell(const json& r, const char* key) {
  auto it = r.find(key);
  if (it == r.end() || !it->is_number()) return "<td class=\"n muted\">-</td>";
  const int64_t n = it->get<int64_t>();
  return std::string("<td class=\"n ") +
         (n > 0   ? "grow"
          : n < 0 ? "shrink"
                  : "muted") +
         "\">" + (n > 0 ? "+" : "") + grouped(n) + "</td>";
}

std::string numberCell(const json& r, const char* key) {
  auto it = r.find(key);
  if (it == r.end() || !it->is_number()) return "<td class=\"n muted\">-</td>";
  return "<td class=\"n\">" + grouped(it->get<int64_t>()) + "</td>";
}

// The rows of `dominators` and `retained`: each object a link, with its retained and shallow size.
std::string objectSizeTable(const json& rows, size_t page, const std::string& base) {
  return pagedTable(rows, page, base,
                    "<th>#</th><th>object</th><th class=\"n\">retained</th><th "
                    "class=\"n\">shallow</th>",
                    [](const json& r, size_t i) {
                      // A class's row leads to its class object's page, where the walk goes on.
                      const std::string object =
                          kindOf(r) == 'C' ? "<a href=\"" + objectUrl(handleOf(r)) +
                                                 "\">class object</a> " + esc(str(r, "class"))
                                           : link(r);
                      return "<td class=\"n\">" + std::to_string(i + 1) + "</td><td>" + object +
                             "</td>" + numberCell(r, "retained") + numberCell(r, "shallow");
                    });
}

}  // namespace

std::string errorPage(int status, const std::string& message) {
  const char* title = status == 404 ? "Not found" : status == 400 ? "Bad request" : "Error";
  return page(title, "<h1>" + std::string(title) + "</h1>" + errorBox(message) +
                         "<p><a href=\"/\">Overview</a></p>");
}

std::string overviewPage(Site& site) {
  std::string html = "<h1>Heap overview</h1>";
  const Answer census = site.run({"classes"}, true, true);
  const Answer usage = site.run({"usage"}, true, true);
  const Answer threads = site.run({"threads"}, true, true);
  const json& classes = records(census, html);
  const json& usageRows = records(usage, html);
  int64_t instances = 0, arrays = 0, bytes = 0;
  for (const json& r : classes) (kindOf(r) == 'A' ? arrays : instances) += num(r, "count");
  for (const json& r : usageRows) bytes += num(r, "bytes");
  const simvm::LoadedHeap* dump = site.session().dump();
  html += "<dl class=\"facts\">";
  html += "<dt>heap</dt><dd>" +
          std::string(dump ? "loaded from a heap dump" : "the built-in demo heap") + "</dd>";
  if (dump) {
    html += "<dt>objects in the dump</dt><dd>" + grouped(static_cast<int64_t>(dump->objects)) +
            "</dd><dt>classes in the dump</dt><dd>" + grouped(static_cast<int64_t>(dump->classes)) +
            "</dd>";
  }
  html += "<dt>instances (census)</dt><dd>" + grouped(instances) + "</dd>";
  html += "<dt>object arrays (census)</dt><dd>" + grouped(arrays) + "</dd>";
  int64_t classCount = 0;
  for (const json& r : classes) classCount += kindOf(r) == 'C';
  html += "<dt>classes with instances or arrays</dt><dd>" + grouped(classCount) + "</dd>";
  html += "<dt>threads</dt><dd><a href=\"/threads\">" +
          grouped(threads.json.is_array() ? static_cast<int64_t>(threads.json.size()) : 0) +
          "</a></dd>";
  html += "<dt>bytes held by instances</dt><dd>" + grouped(bytes) +
          " <span class=\"muted\">(the usage query: instance sizes plus the arrays their fields "
          "refer to)</span></dd>";
  if (dump) {
    std::string roots;
    for (size_t k = 0; k < simvm::kRootKinds; ++k)
      if (dump->roots[k])
        roots += (roots.empty() ? "" : ", ") + grouped(static_cast<int64_t>(dump->roots[k])) + " " +
                 simvm::rootKindName(static_cast<simvm::RootKind>(k));
    html += "<dt>roots by kind</dt><dd><a href=\"/roots\">" + (roots.empty() ? "none" : roots) +
            "</a></dd>";
    html += "<dt>references to missing objects</dt><dd><a href=\"/missing\">" +
            grouped(static_cast<int64_t>(dump->danglingReferences)) + "</a></dd>";
  } else {
    html +=
        "<dt>roots</dt><dd><a href=\"/roots\">static fields of classes, locals of threads</a></dd>";
  }
  html +=
      "<dt>retained sizes</dt><dd><a href=\"/dominators\">the objects that retain the most</a>"
      "</dd>";
  if (const cli::Baseline* b = site.baseline())
    html += "<dt>baseline</dt><dd>" + esc(b->file) + " (<a href=\"/classes\">compare</a>)</dd>";
  html += "</dl>";

  std::vector<json> byCount(classes.begin(), classes.end());
  std::stable_sort(byCount.begin(), byCount.end(),
                   [](const json& a, const json& b) { return num(a, "count") > num(b, "count"); });
  std::vector<Bar> countBars, byteBars;
  for (size_t i = 0; i < byCount.size() && i < 10; ++i) {
    const json& r = byCount[i];
    countBars.push_back({str(r, "class") + (kindOf(r) == 'A' ? "[]" : ""),
                         classUrl(handleOf(r)) + (kindOf(r) == 'A' ? "#arrays" : ""),
                         num(r, "count")});
  }
  std::map<std::string, uint32_t> handleByName;
  for (const json& r : classes)
    if (kindOf(r) == 'C') handleByName[str(r, "class")] = handleOf(r);
  for (size_t i = 0; i < usageRows.size() && byteBars.size() < 10; ++i) {
    const json& r = usageRows[i];
    auto it = handleByName.find(str(r, "class"));
    byteBars.push_back({str(r, "class"),
                        it == handleByName.end() ? "/classes?prefix=" + urlEncode(str(r, "class"))
                                                 : classUrl(it->second),
                        num(r, "bytes")});
  }
  html += "<div class=\"charts\">" + barChart("Top classes by count", countBars) +
          barChart("Top classes by bytes", byteBars) + "</div>";
  return page("Overview", html);
}

std::string censusPage(Site& site, const Params& params) {
  const std::string prefix = param(params, "prefix");
  if (!prefix.empty() && prefix[0] == '-')
    throw HttpError(400, "a class name prefix does not begin with '-'");
  const bool credit = flag(params, "credit");
  const bool retained = flag(params, "retained");
  const size_t pageNo = pageParam(params);
  const cli::Baseline* baseline = site.baseline();
  std::vector<std::string> words{"classes"};
  if (!prefix.empty()) words.push_back(prefix);
  if (credit) words.push_back("--superclasses");
  if (retained) words.push_back("--retained");
  std::string html =
      "<h1>Census" + std::string(baseline ? " compared with the baseline" : "") + "</h1>";
  html +=
      "<form class=\"filter\" method=\"get\" action=\"/classes\"><label>class name begins with "
      "<input type=\"text\" name=\"prefix\" value=\"" +
      esc(prefix) +
      "\" placeholder=\"java.util. or com/acme/\"></label> <label><input type=\"checkbox\" "
      "name=\"credit\" value=\"1\"" +
      (credit ? " checked" : "") +
      "> count each object for its superclasses too</label> <label><input type=\"checkbox\" "
      "name=\"retained\" value=\"1\"" +
      (retained ? " checked" : "") + "> retained sizes</label> <button>Show</button></form>";
  if (baseline)
    html += "<p class=\"note\">Baseline: " + esc(baseline->file) +
            ". Largest growth first; bytes are the usage query's, for instances.</p>";
  const Answer a = site.run(words, true, true);
  json rows = records(a, html);

  struct Column {
    const char* key;
    const char* title;
    bool number;
  };
  std::vector<Column> columns{
      {"kind", "kind", false}, {"class", "class", false}, {"count", "count", true}};
  if (retained) columns.push_back({"retained", "retained", true});
  if (baseline) {
    columns.push_back({"baselineCount", "baseline count", true});
    columns.push_back({"countChange", "change", true});
    if (!credit) {
      columns.push_back({"bytes", "bytes", true});
      columns.push_back({"baselineBytes", "baseline bytes", true});
      columns.push_back({"bytesChange", "change", true});
    }
  }
  const std::string sort = param(params, "sort");
  const std::string order = param(params, "order", "");
  if (!sort.empty()) {
    auto c = std::find_if(columns.begin(), columns.end(),
                          [&](const Column& col) { return sort == col.key; });
    if (c == columns.end())
      throw HttpError(400, "no column " + cli::quoteInput(sort) + " to sort by");
    if (!order.empty() && order != "asc" && order != "desc")
      throw HttpError(400, "order is asc or desc");
    const bool descending = order.empty() ? c->number : order == "desc";
    const bool number = c->number;
    const std::string key = c->key;
    std::stable_sort(rows.begin(), rows.end(), [&](const json& x, const json& y) {
      if (number) {
        const int64_t a1 = num(x, key.c_str()), b1 = num(y, key.c_str());
        return descending ? a1 > b1 : a1 < b1;
      }
      const std::string a1 = str(x, key.c_str()), b1 = str(y, key.c_str());
      return descending ? a1 > b1 : a1 < b1;
    });
  }
  std::string base = "/classes?";
  if (!prefix.empty()) base += "prefix=" + urlEncode(prefix) + "&";
  if (credit) base += "credit=1&";
  if (retained) base += "retained=1&";
  std::string head;
  for (const Column& c : columns) {
    const bool current = sort == c.key;
    const bool nowDescending = current ? (order.empty() ? c.number : order == "desc") : false;
    const std::string next =
        current ? (nowDescending ? "asc" : "desc") : (c.number ? "desc" : "asc");
    head += std::string("<th") + (c.number ? " class=\"n\"" : "") + " data-column=\"" + c.key +
            "\"><a href=\"" + esc(base + "sort=" + c.key + "&order=" + next) + "\">" + c.title +
            (current ? (nowDescending ? " &darr;" : " &uarr;") : "") + "</a></th>";
  }
  if (baseline) head += "<th></th>";
  const std::string pageBase =
      base + (sort.empty() ? "" : "sort=" + sort + "&order=" + order + "&");
  html += "<p class=\"muted\">" + grouped(static_cast<int64_t>(rows.size())) +
          " rows (C: instances of the class, A: object arrays of it)</p>";
  html += pagedTable(rows, pageNo, pageBase, head, [&](const json& r, size_t) {
    const char kind = kindOf(r);
    const uint32_t h = handleOf(r);
    std::string cells = "<td>" + std::string(1, kind) + "</td><td>";
    if (!h)
      cells += esc(str(r, "class")) + (kind == 'A' ? "[]" : "");
    else if (kind == 'A')
      cells += "<a href=\"" + classUrl(h) + "#arrays\">" + esc(str(r, "class")) + "[]</a>";
    else
      cells += classLink(h, str(r, "class"));
    cells += "</td>" + numberCell(r, "count");
    if (retained) cells += numberCell(r, "retained");
    if (baseline) {
      cells += numberCell(r, "baselineCount") + changeCell(r, "countChange");
      if (!credit)
        cells +=
            numberCell(r, "bytes") + numberCell(r, "baselineBytes") + changeCell(r, "bytesChange");
      const std::string status = str(r, "status");
      cells += "<td>" +
               std::string(status == "new"    ? "<span class=\"tag\">new</span>"
                           : status == "gone" ? "<span class=\"tag gone\">gone</span>"
                                              : "") +
               "</td>";
    }
    return cells;
  });
  return page("Census", html);
}

std::string classPage(Site& site, uint32_t cls, const Params& params) {
  simvm::Vm& vm = site.vm();
  if (cli::kindOf(vm, cls) != 'C') throw HttpError(422, cli::hexHandle(cls) + " is not a class");
  const size_t pageNo = pageParam(params);
  const std::string hex = cli::hexHandle(cls);
  const std::string name = vm.className(cls);
  std::string html = "<h1>Class " + esc(name) + "</h1>";
  const Answer info = site.run({"class-info", hex});
  const json& infoRows = records(info, html);
  if (!infoRows.empty()) {
    const json& r = infoRows[0];
    html += "<dl class=\"facts\"><dt>handle</dt><dd><code>" + hex + "</code> (" +
            cli::decimalHandle(cls) + ")</dd>";
    for (const char* key : {"descriptor", "secondName"})
      html += std::string("<dt>") + (key[0] == 'd' ? "descriptor" : "source file") + "</dt><dd>" +
              esc(str(r, key)) + "</dd>";
    for (const char* key : {"fields", "instanceSize", "methods", "interfaces"})
      html += std::string("<dt>") + key + "</dt><dd>" + grouped(num(r, key)) + "</dd>";
    html += std::string("<dt>abstract</dt><dd>") +
            (r.contains("abstract") && (r["abstract"].is_boolean() ? r["abstract"].get<bool>()
                                                                   : str(r, "abstract") == "true")
                 ? "yes"
                 : "no") +
            "</dd>";
    if (auto id = site.session().dumpId(cls)) html += "<dt>dump id</dt><dd>" + hexId(*id) + "</dd>";
    html += "</dl>";
  }
  html += "<p><a href=\"" + objectUrl(cls) +
          "?as=object\">static fields, references and path of the "
          "class object</a></p>";

  std::string chain;
  for (uint32_t up = vm.superclassOf(cls), n = 0; up && n < 256; up = vm.superclassOf(up), ++n)
    chain += (chain.empty() ? "" : " &rarr; ") + classLink(up, vm.className(up));
  html += "<h2>Superclasses</h2><p>" + (chain.empty() ? "none" : chain) + "</p>";
  std::string subs;
  for (uint32_t c : vm.classes())
    if (vm.superclassOf(c) == cls)
      subs += (subs.empty() ? "" : ", ") + classLink(c, vm.className(c));
  html += "<h2>Subclasses</h2><p>" + (subs.empty() ? "none" : subs) + "</p>";

  // The census row, with the baseline's figures when there is one.
  const Answer census = site.run({"classes"}, true, true);
  if (census.json.is_array()) {
    for (const json& r : census.json) {
      if (handleOf(r) != cls || kindOf(r) != 'C') continue;
      html += "<h2>Census</h2><table><tr><th class=\"n\">count</th>";
      if (site.baseline())
        html +=
            "<th class=\"n\">baseline count</th><th class=\"n\">change</th><th class=\"n\">bytes"
            "</th><th class=\"n\">baseline bytes</th><th class=\"n\">change</th><th></th>";
      html += "</tr><tr>" + numberCell(r, "count");
      if (site.baseline())
        html += numberCell(r, "baselineCount") + changeCell(r, "countChange") +
                numberCell(r, "bytes") + numberCell(r, "baselineBytes") +
                changeCell(r, "bytesChange") + "<td>" +
                (str(r, "status") == "new" ? "<span class=\"tag\">new</span>" : "") + "</td>";
      html += "</tr></table>";
    }
  }
  const Answer usage = site.run({"usage"}, true, true);  // the whole heap's, kept
  for (const json& r : usage.json.is_array() ? usage.json : json::array())
    if (str(r, "class") == name)
      html +=
          "<h2>Memory usage</h2><table><tr><th class=\"n\">instances</th><th class=\"n\">bytes"
          "</th></tr><tr>" +
          numberCell(r, "count") + numberCell(r, "bytes") + "</tr></table>";

  // The class's retained total: its instances', none counted twice where one holds another.
  Answer retained;
  std::string retainedHtml;
  try {
    retained = site.run({"retained", name, "--limit", "0"});
  } catch (const HttpError& e) {  // a name the console's command line cannot take
    retainedHtml = errorBox(e.what());
  }
  const json& retainedRows = records(retained, retainedHtml);
  if (!retainedRows.empty() && handleOf(retainedRows[0]) == cls)
    html += "<h2>Retained size</h2><p>" + grouped(num(retainedRows[0], "retained")) +
            " bytes, retained by " +
            counted(num(retainedRows[0], "instances"), "instance", "instances") +
            " not held below another instance of the class.</p>";
  else if (!retainedRows.empty())  // the name is another class's too: the console cannot tell
    html +=
        "<h2>Retained size</h2><p class=\"note\">Another class has this name; the console's "
        "retained command, which takes the name, cannot single this one out.</p>";
  else if (!retainedHtml.empty())
    html += "<h2>Retained size</h2>" + retainedHtml;

  html += "<h2>Instances</h2>";
  const Answer inst =
      site.run(std::vector<std::string>{"instances", hex} + pageWords(pageNo), true);
  const json& instRows = records(inst, html);
  if (instRows.empty() && inst.json.is_array())
    html += pageNo == 0 ? "<p>none</p>" : "<p>none: the list ends before this page</p>";
  else if (!instRows.empty())
    html += pagedTable(
        instRows, pageNo, classUrl(cls) + "?",
        "<th>#</th><th>object</th><th class=\"n\">retained</th>",
        [](const json& r, size_t i) {
          return "<td class=\"n\">" + std::to_string(i + 1) + "</td><td>" + link(r) + "</td>" +
                 numberCell(r, "retained");
        },
        pageNo * kPageRows);
  html += "<h2 id=\"arrays\">Arrays of " + esc(name) + "</h2>";
  const Answer arrays = site.run({"instances", hex, "--arrays", "--limit", "501"}, true);
  const json& arrayRows = records(arrays, html);
  if (arrayRows.empty() && arrays.json.is_array())
    html += "<p>none</p>";
  else if (!arrayRows.empty())
    html += pagedTable(arrayRows, 0, classUrl(cls) + "?", "<th>#</th><th>array</th>",
                       [](const json& r, size_t i) {
                         return "<td class=\"n\">" + std::to_string(i + 1) + "</td><td>" + link(r) +
                                "</td>";
                       }) +
            (arrayRows.size() > kPageRows ? "<p class=\"muted\">the first 500 shown: "
                                            "see /api/instances/" +
                                                hex + "?arrays=1</p>"
                                          : "");
  return page("Class " + name, html);
}

namespace {

// A field value as the console writes it ("0x1a2b (com/Foo)", "0x1a2b \"text\""), its leading
// handle made a link.
std::string valueCell(Site& site, const std::string& value) {
  if (value.rfind("0x", 0) == 0) {
    const size_t end = value.find(' ');
    const std::optional<uint32_t> h = cli::parseHandleNumber(value.substr(0, end));
    if (h && cli::kindOf(site.vm(), *h) != 0) {
      const std::string rest = end == std::string::npos ? "" : value.substr(end);
      const std::string url = cli::kindOf(site.vm(), *h) == 'C' ? classUrl(*h) : objectUrl(*h);
      return "<a href=\"" + url + "\"><code>" + esc(value.substr(0, end)) + "</code></a>" +
             esc(rest);
    }
  }
  return esc(value);
}

}  // namespace

std::string objectPage(Site& site, uint32_t h, const Params& params) {
  simvm::Vm& vm = site.vm();
  const char kind = cli::kindOf(vm, h);
  const size_t pageNo = pageParam(params);
  const std::string hex = cli::hexHandle(h);
  const std::string className = cli::reportedClassName(vm, h);
  std::string html = "<h1>" +
                     std::string(kind == 'C'   ? "Class object "
                                 : kind == 'I' ? "Object "
                                               : "Array ") +
                     "<code>" + hex + "</code> " + esc(className) + (kind == 'A' ? "[]" : "") +
                     "</h1>";
  if (kind == 'C')
    html += "<p><a href=\"" + classUrl(h) + "\">the class page</a></p>";
  else if (uint32_t cls = vm.classOfObject(h); cls && kind != 'P')
    html += "<p>class: " + classLink(cls, vm.className(cls)) + "</p>";

  html += "<dl class=\"facts\"><dt>handle</dt><dd><code>" + hex + "</code> (" +
          cli::decimalHandle(h) + ")</dd>";
  if (auto id = site.session().dumpId(h)) {
    html += "<dt>dump id</dt><dd>" + hexId(*id) + "</dd>";
    if (const cli::Baseline* b = site.baseline())
      html +=
          std::string("<dt>in the baseline</dt><dd>") +
          (b->hasId(*id) ? "yes: the baseline dump has an object with this id"
                         : "<span class=\"tag\">new</span> no object of the baseline has this id") +
          "</dd>";
  }
  html += "</dl>";

  const Answer info = site.run({"info", hex});
  const json& infoRows = records(info, html);
  if (!infoRows.empty()) {
    const json& r = infoRows[0];
    html += "<h2>Description</h2><dl class=\"facts\">";
    for (const char* key : {"body", "length"})
      if (r.contains(key))
        html += std::string("<dt>") + key + "</dt><dd>" +
                (r[key].is_number() ? grouped(r[key].get<int64_t>()) : esc(str(r, key))) + "</dd>";
    if (r.contains("toString"))
      html += "<dt>toString</dt><dd><pre class=\"text\">" + esc(str(r, "toString")) + "</pre></dd>";
    html += "</dl>";
  }

  // What freeing it would give back, and the objects it immediately dominates: following those
  // links walks down the dominator tree.
  html += "<h2 id=\"retained\">Retained size</h2>";
  const Answer retained = site.run({"retained", hex, "--limit", "501"});
  const json& retainedRows = records(retained, html);
  if (!retainedRows.empty()) {
    const json& r = retainedRows[0];
    if (!r.value("reachable", true)) {
      html +=
          "<p>Reachable from no root (held, if at all, through Reference objects): it retains "
          "nothing.</p>";
    } else {
      html += "<dl class=\"facts\"><dt>retained</dt><dd>" + grouped(num(r, "retained")) +
              " bytes</dd><dt>shallow</dt><dd>" + grouped(num(r, "shallow")) +
              " bytes</dd><dt>immediately dominates</dt><dd>" +
              counted(num(r, "dominated"), "object", "objects") + "</dd></dl>";
      const json below(retainedRows.begin() + 1, retainedRows.end());
      if (!below.empty())
        html += objectSizeTable(below, 0, objectUrl(h) + "?") +
                (below.size() > kPageRows ? "<p class=\"muted\">the 500 largest shown: see "
                                            "/api/retained/" +
                                                hex + "</p>"
                                          : "");
    }
  }

  html += "<h2>Fields</h2>";
  const Answer fields = site.run({"fields", hex});
  const json& fieldRows = records(fields, html);
  if (!fieldRows.empty()) {
    html +=
        "<table><thead><tr><th>declared "
        "by</th><th>field</th><th>type</th><th>value</th></tr></thead><tbody>";
    for (const json& r : fieldRows)
      html += "<tr><td>" + esc(str(r, "declaredBy")) + "</td><td><code>" + esc(str(r, "field")) +
              "</code></td><td>" + esc(str(r, "type")) + "</td><td>" +
              valueCell(site, str(r, "value")) + "</td></tr>";
    html += "</tbody></table>";
  } else if (fields.json.is_array()) {
    html += "<p>none</p>";
  }

  html += "<h2 id=\"refs\">Refers to</h2>";
  const Answer refs = site.run({"refs", hex, "--limit", "501"});
  const json& refRows = records(refs, html);
  if (refRows.empty() && refs.json.is_array())
    html += "<p>nothing</p>";
  else if (!refRows.empty())
    html += pagedTable(refRows, 0, objectUrl(h) + "?", "<th>through</th><th>object</th>",
                       [](const json& r, size_t) {
                         return "<td>" + viaText(r) + "</td><td>" + link(r) + "</td>";
                       });

  html += "<h2 id=\"referrers\">Referred to by</h2>";
  const Answer referrers = site.run(std::vector<std::string>{"referrers", hex} + pageWords(pageNo));
  const json& referrerRows = records(referrers, html);
  if (referrerRows.empty() && referrers.json.is_array())
    html += pageNo == 0 ? "<p>nothing</p>" : "<p>nothing: the list ends before this page</p>";
  else if (!referrerRows.empty())
    html += pagedTable(
        referrerRows, pageNo, objectUrl(h) + "?", "<th>holder</th><th>through</th>",
        [](const json& r, size_t) { return "<td>" + link(r) + "</td><td>" + viaText(r) + "</td>"; },
        pageNo * kPageRows);

  html += "<h2 id=\"path\">Path from a root</h2>";
  const Answer path = site.run({"path", hex});
  const json& pathRows = records(path, html);
  if (!pathRows.empty()) {
    html +=
        "<table class=\"path\"><thead><tr><th>#</th><th>held "
        "through</th><th>object</th><th class=\"n\">retained</th></tr></thead><tbody>";
    size_t i = 0;
    for (const json& r : pathRows)
      html += "<tr><td class=\"n\">" + std::to_string(++i) + "</td><td>" + viaText(r) +
              "</td><td>" + link(r) + "</td>" + numberCell(r, "retained") + "</tr>";
    html += "</tbody></table>";
  }
  return page("Object " + hex, html);
}

std::string dominatorsPage(Site& site, const Params& params) {
  const size_t pageNo = pageParam(params);
  std::string html =
      "<h1>Dominators</h1><p class=\"muted\">The objects with the largest retained sizes: the "
      "bytes freeing each would give back (its own and every object reachable only through it). "
      "Follow an object to the objects it immediately dominates.</p>";
  const Answer a = site.run({"dominators", "--limit", limitWord(pageNo)});
  const json& rows = records(a, html);
  if (rows.empty() && a.json.is_array())
    html += "<p>no object is reachable from a root</p>";
  else if (!rows.empty())
    html += objectSizeTable(rows, pageNo, "/dominators?");
  return page("Dominators", html);
}

std::string threadsPage(Site& site) {
  std::string html = "<h1>Threads</h1>";
  const Answer a = site.run({"threads"}, true, true);
  const json& threads = records(a, html);
  html += "<p class=\"muted\">" + grouped(static_cast<int64_t>(threads.size())) +
          " threads; frames innermost first, with the objects their locals hold</p>";
  for (const json& t : threads) {
    html += "<h2>" + esc(str(t, "name")) + " " + link(t) +
            (t.value("caller", false) ? " <span class=\"tag\">calling thread</span>" : "") +
            "</h2>";
    const json frames = t.value("frames", json::array());
    if (frames.empty()) {
      html += "<p class=\"muted\">no frame holds an object</p>";
      continue;
    }
    html += "<table><thead><tr><th>frame</th><th>objects its locals hold</th></tr></thead><tbody>";
    for (const json& f : frames) {
      std::string held;
      for (const json& o : f.value("objects", json::array())) {
        const uint32_t oh = handleOf(o);
        held += (held.empty() ? "" : "<br>") +
                handleLink(cli::kindOf(site.vm(), oh), oh, str(o, "class"));
      }
      html += "<tr><td><code>" + esc(str(f, "method")) + "()</code></td><td>" + held + "</td></tr>";
    }
    html += "</tbody></table>";
  }
  return page("Threads", html);
}

std::string rootsPage(Site& site) {
  std::string html = "<h1>Roots</h1>";
  const simvm::LoadedHeap* dump = site.session().dump();
  if (!dump) {
    html +=
        "<p>The demo heap's roots are the static fields of its classes and the locals of its "
        "threads' frames (the calling thread's own are not scanned): see <a href=\"/threads\">"
        "threads</a>, and each class's static fields on its class object's page.</p>";
    return page("Roots", html);
  }
  html +=
      "<p>The dump's GC roots by kind. Java frame roots are the locals of the "
      "<a href=\"/threads\">threads</a>' frames; a system class root is the class itself.</p>"
      "<table><thead><tr><th>kind</th><th class=\"n\">objects</th><th>held "
      "by</th></tr></thead><tbody>";
  for (size_t k = 0; k < simvm::kRootKinds; ++k) {
    const auto kind = static_cast<simvm::RootKind>(k);
    std::string holder;
    for (const auto& [h, hk] : dump->rootHolders)
      if (hk == kind)
        holder = "<a href=\"" + objectUrl(h) + "#refs\">" + esc(site.vm().className(h)) + "</a>";
    html += "<tr><td>" + esc(simvm::rootKindName(kind)) + "</td><td class=\"n\">" +
            grouped(static_cast<int64_t>(dump->roots[k])) + "</td><td>" + holder + "</td></tr>";
  }
  html += "</tbody></table><h2>System classes</h2><p>";
  size_t shown = 0;
  for (uint32_t c : dump->systemClasses) {
    if (++shown > kPageRows) break;
    html += (shown > 1 ? ", " : "") + classLink(c, site.vm().className(c));
  }
  if (dump->systemClasses.size() > kPageRows)
    html += " &hellip; (" + grouped(static_cast<int64_t>(dump->systemClasses.size())) + " in all)";
  return page("Roots", html + "</p>");
}

std::string missingPage(Site& site, const Params& params) {
  const size_t pageNo = pageParam(params);
  std::string html = "<h1>References to objects missing from the dump</h1>";
  if (!site.session().dump())
    return page("Missing", html + "<p>The demo heap is no dump: none.</p>");
  const Answer a = site.run({"missing"}, false, true);
  const json& rows = records(a, html);
  html += "<p class=\"muted\">" + grouped(static_cast<int64_t>(rows.size())) +
          " listed; loading read each as null</p>";
  html += pagedTable(
      rows, pageNo, "/missing?", "<th>referrer</th><th>class</th><th>where</th><th>missing id</th>",
      [&](const json& r, size_t) {
        std::string who = esc(str(r, "referrer"));
        const std::string id = str(r, "referrer");
        if (!id.empty())
          who =
              "<a href=\"/search?q=" + urlEncode(id.rfind("0x", 0) == 0 ? "@" + id.substr(2) : id) +
              "\">" + who + "</a>";
        return "<td>" + who + "</td><td>" + esc(str(r, "class")) + "</td><td><code>" +
               esc(str(r, "field")) + "</code></td><td>" + esc(str(r, "missing")) + "</td>";
      });
  return page("Missing", html);
}

std::string searchPage(Site& site, const std::string& query, std::string& location) {
  std::string html = "<h1>Search</h1>";
  if (query.empty())
    return page("Search", html +
                              "<p>Give a class name (slash or dot form, a simple name, X[]), a "
                              "handle (0x hex or decimal) or a dump id (@hex).</p>");
  cli::Session& s = site.session();
  try {
    if (cli::looksLikeHandle(query)) {
      if (query[0] == '$') throw cli::UsageError("rows ($1, $2, ...) belong to the shell");
      const uint32_t h = s.resolveHandle(query);
      const char kind = cli::kindOf(site.vm(), h);
      if (kind == 0)
        throw cli::CliError("no class, object or array has the handle " + cli::hexHandle(h));
      location = kind == 'C' ? classUrl(h) : objectUrl(h);
      return "";
    }
    const cli::Session::ClassLookup found = s.lookUpClass(query);
    if (found.cls) {
      location = classUrl(found.cls);
      return "";
    }
    if (found.element) {
      location = classUrl(found.element) + "#arrays";
      return "";
    }
    html += errorBox(found.why.empty() ? "no class is named " + query : found.why);
    const std::string& hint = found.hint;
    const size_t at = hint.find("did you mean ");
    if (at != std::string::npos) {
      const size_t start = at + 13, end = hint.rfind('?');
      const std::string suggestion = hint.substr(
          start, end == std::string::npos || end < start ? std::string::npos : end - start);
      const cli::Session::ClassLookup meant = s.lookUpClass(suggestion);
      html += "<p class=\"note\">Did you mean " +
              (meant.cls ? classLink(meant.cls, suggestion) : esc(suggestion)) + "?</p>";
    }
  } catch (const std::exception& e) {
    html += errorBox(e.what());
  }
  return page("Search", html);
}

}  // namespace web
