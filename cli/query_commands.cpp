// The eight query commands: each fills the slots through the caller, then presents the answer.
#include "cli/query_commands.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "cli/commands.h"
#include "cli/format.h"
#include "cli/links.h"

namespace cli {
namespace {

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "0x7b (com/acme/shop/Session)", "0x7c (java/lang/String[])" for an object array.
std::string describeHandle(Session& s, uint32_t h) {
  std::string name = printable(reportedClassName(s.vm(), h));
  if (kindOf(s.vm(), h) == 'A') name += "[]";
  return hexHandle(h) + (name.empty() ? "" : " (" + name + ")");
}

// A class prefix as people write it: "com.acme." means "com/acme/".
std::string slashPrefix(std::string prefix) {
  for (char& c : prefix)
    if (c == '.') c = '/';
  return prefix;
}

// "@1a2b" for an object of a loaded dump; nullopt otherwise.
std::optional<std::string> dumpIdText(Session& s, uint32_t h) {
  const std::optional<uint64_t> id = s.dumpId(h);
  if (!id) return std::nullopt;
  char buf[24];
  std::snprintf(buf, sizeof buf, "@%llx", static_cast<unsigned long long>(*id));
  return std::string(buf);
}

void addDumpId(Session& s, uint32_t h, std::vector<std::string>& row) {
  if (s.dump()) row.push_back(dumpIdText(s, h).value_or("-"));
}

void addDumpIdJson(Session& s, uint32_t h, JsonObject& o) {
  if (!s.dump()) return;
  if (const std::optional<std::string> id = dumpIdText(s, h))
    o.add("dumpId", "0x" + id->substr(1));
  else
    o.addNull("dumpId");
}

uint32_t parseHex(const std::string& text) {
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

int64_t parseDecimal(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// --- report tables (classes, instances, refs, referrers) ---------------------------------------

enum class Detail { None, Count, Link };

struct ReportView {
  Detail detail = Detail::None;
  // For links: whether the holder of record r is a class (its names are static fields).
  std::function<bool(const simvm::Record&)> holderIsClass;
  std::string summary;  // printed under the table (or alone when it is empty)
};

int presentReport(Session& s, const simvm::Report& report, const ReportView& view, OutputMode mode,
                  std::ostream& out) {
  std::vector<uint32_t> handles;
  for (const simvm::Record& r : report.records) handles.push_back(r.handle);
  s.setLastHandles(handles);

  if (mode == OutputMode::Raw) {
    out.write(report.bytes.data(), static_cast<std::streamsize>(report.bytes.size()));
    return 0;
  }
  if (mode == OutputMode::Json) {
    std::vector<JsonObject> records;
    for (const simvm::Record& r : report.records) {
      JsonObject o;
      o.add("kind", std::string(1, r.kind))
          .add("handle", int64_t{r.handle})
          .add("class", r.className);
      if (view.detail == Detail::Count) {
        o.add("count", parseDecimal(r.detail));
      } else if (view.detail == Detail::Link) {
        if (std::optional<Link> link = linkFromDetail(r.detail, view.holderIsClass(r)))
          addLinkJson(o, *link);
      }
      addDumpIdJson(s, r.handle, o);
      records.push_back(o);
    }
    printJsonArray(out, records);
    return 0;
  }

  if (!report.records.empty()) {
    Table t;
    t.columns = {{"#", Align::Right},
                 {"kind"},
                 {"handle", Align::Right},
                 {"decimal", Align::Right},
                 {"class"}};
    if (view.detail == Detail::Count) t.columns.push_back({"count", Align::Right});
    if (view.detail == Detail::Link) t.columns.push_back({"via"});
    if (s.dump()) t.columns.push_back({"dump id"});
    for (size_t i = 0; i < report.records.size(); ++i) {
      const simvm::Record& r = report.records[i];
      std::vector<std::string> row{std::to_string(i + 1), std::string(1, r.kind),
                                   hexHandle(r.handle), decimalHandle(r.handle),
                                   printable(r.className)};
      if (view.detail == Detail::Count) row.push_back(r.detail);
      if (view.detail == Detail::Link) {
        const std::optional<Link> link = linkFromDetail(r.detail, view.holderIsClass(r));
        row.push_back(link ? linkText(*link) : "");
      }
      addDumpId(s, r.handle, row);
      t.rows.push_back(row);
    }
    printTable(out, t);
  }
  out << view.summary << '\n';
  return 0;
}

// --- descriptions ---------------------------------------------------------------------------

// The text cut at its first maxParts - 1 spaces (empty parts kept).
std::vector<std::string> splitSpaces(const std::string& text, size_t maxParts) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (parts.size() + 1 < maxParts) {
    const size_t space = text.find(' ', at);
    if (space == std::string::npos) break;
    parts.push_back(text.substr(at, space - at));
    at = space + 1;
  }
  parts.push_back(text.substr(at));
  return parts;
}

// A description that begins "ERROR" is the library's way of saying no: the raw text in --raw,
// one error line otherwise; either way the exit status is 1.
bool presentDescriptionError(Session& s, uint32_t h, const std::string& text, OutputMode mode,
                             std::ostream& out) {
  if (text.compare(0, 6, "ERROR ") != 0) return false;
  if (mode == OutputMode::Raw) {
    out << text << '\n';
    return true;
  }
  // "ERROR handle 7b is not a valid class": the same, with the handle spelt as everywhere else.
  const size_t verb = text.find(" is");
  throw CliError(describeHandle(s, h) +
                 (verb == std::string::npos ? ": " + printable(text) : text.substr(verb)));
}

}  // namespace

int runClasses(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getClasses0", "classes");
  const std::string prefix = slashPrefix(inv.args.empty() ? "" : inv.args[0]);
  const simvm::Report r = s.caller().classes(prefix, inv.flags.count("--superclasses") > 0,
                                             inv.flags.count("--by-count") > 0);
  ReportView view;
  view.detail = Detail::Count;
  view.summary =
      r.records.empty()
          ? "no class name begins with '" + printable(prefix) + "'"
          : plural(r.records.size(), "record", "records") +
                " (C: instances of the class, A: object arrays with it as element class)";
  return presentReport(s, r, view, inv.output, out);
}

int runInstances(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getHandles0", "instances");
  const uint32_t cls = s.resolveClass(inv.args[0]);
  if (kindOf(s.vm(), cls) != 'C') throw CliError(describeHandle(s, cls) + " is not a class");
  const bool subclasses = inv.flags.count("--subclasses") > 0;
  const bool arrays = inv.flags.count("--arrays") > 0;
  const simvm::Report r = s.caller().handles(cls, subclasses, arrays ? 1 : 0);
  ReportView view;
  view.summary = plural(r.records.size(), arrays ? "object array" : "instance",
                        arrays ? "object arrays" : "instances") +
                 " of " + printable(s.vm().className(cls)) +
                 (subclasses ? " and its subclasses" : "");
  return presentReport(s, r, view, inv.output, out);
}

int runReferences(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getReferences0", "refs");
  const uint32_t h = s.resolveObject(inv.args[0]);
  const simvm::Report r = s.caller().references(h);
  ReportView view;
  view.detail = Detail::Link;
  const bool isClass = kindOf(s.vm(), h) == 'C';
  view.holderIsClass = [isClass](const simvm::Record&) { return isClass; };
  view.summary = r.records.empty() ? describeHandle(s, h) + " refers to no object"
                                   : plural(r.records.size(), "reference", "references") +
                                         " from " + describeHandle(s, h);
  return presentReport(s, r, view, inv.output, out);
}

int runReferrers(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getBackTraceReferences0", "referrers");
  const uint32_t h = s.resolveObject(inv.args[0]);
  const simvm::Report r = s.caller().referrers(h);
  ReportView view;
  view.detail = Detail::Link;
  view.holderIsClass = [](const simvm::Record& rec) { return rec.kind == 'C'; };
  view.summary = r.records.empty() ? "nothing refers to " + describeHandle(s, h) +
                                         " (the calling thread's locals are not scanned)"
                                   : plural(r.records.size(), "referrer", "referrers") + " of " +
                                         describeHandle(s, h);
  return presentReport(s, r, view, inv.output, out);
}

int runClassInfo(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getClassInfo0", "class-info");
  const uint32_t cls = s.resolveClass(inv.args[0]);
  const std::string text = s.caller().classInfo(cls);
  s.setLastHandles({cls});
  if (presentDescriptionError(s, cls, text, inv.output, out)) return 1;
  if (inv.output == OutputMode::Raw) {
    out << text << '\n';
    return 0;
  }
  // CLASS <name> <descriptor> <second name> <fields> <size> <methods> <interfaces> <abstract>;
  // the second name may be empty or hold spaces, so the counts are taken from the end.
  const std::vector<std::string> t = splitSpaces(text, SIZE_MAX);
  if (t.size() < 9 || t[0] != "CLASS")
    throw CliError("the library's class description does not parse: " + printable(text));
  const size_t n = t.size();
  std::string second;
  for (size_t i = 3; i < n - 5; ++i) second += (i > 3 ? " " : "") + t[i];
  if (inv.output == OutputMode::Json) {
    JsonObject o;
    o.add("kind", "CLASS")
        .add("handle", int64_t{cls})
        .add("class", t[1])
        .add("descriptor", "0x" + t[2])
        .add("secondName", second)
        .add("fields", parseDecimal(t[n - 5]))
        .add("instanceSize", parseDecimal(t[n - 4]))
        .add("methods", parseDecimal(t[n - 3]))
        .add("interfaces", parseDecimal(t[n - 2]))
        .add("abstract", t[n - 1] == "true")
        .add("text", text);
    addDumpIdJson(s, cls, o);
    printJsonArray(out, {o});
    return 0;
  }
  std::vector<std::pair<std::string, std::string>> pairs{
      {"class", printable(t[1])},
      {"handle", hexHandle(cls) + " (" + decimalHandle(cls) + ")"},
      {"descriptor", "0x" + t[2]},
      {"second name", printable(second)},
      {"fields", t[n - 5] + " declared by the class itself"},
      {"instance size", t[n - 4] + " bytes"},
      {"methods", t[n - 3]},
      {"interfaces", t[n - 2]},
      {"abstract", t[n - 1]},
  };
  if (const std::optional<std::string> id = dumpIdText(s, cls)) pairs.emplace_back("dump id", *id);
  printPairs(out, pairs);
  return 0;
}

int runInfo(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getHandleInfo0", "info");
  const uint32_t h = s.resolveObject(inv.args[0]);
  const std::string text = s.caller().handleInfo(h);
  s.setLastHandles({h});
  if (presentDescriptionError(s, h, text, inv.output, out)) return 1;
  if (inv.output == OutputMode::Raw) {
    out << text << '\n';
    return 0;
  }
  // OBJECT <handle> <class> <body> <toString...>  or  ARRAY <handle> <class> <body> <length>
  const std::vector<std::string> t = splitSpaces(text, 5);
  const bool object = t[0] == "OBJECT";
  if (t.size() < 5 || (!object && t[0] != "ARRAY"))
    throw CliError("the library's description does not parse: " + printable(text));
  if (inv.output == OutputMode::Json) {
    JsonObject o;
    o.add("kind", t[0])
        .add("handle", int64_t{parseHex(t[1])})
        .add("class", t[2])
        .add("body", "0x" + t[3]);
    if (object)
      o.add("toString", t[4]);
    else
      o.add("length", parseDecimal(t[4]));
    o.add("text", text);
    addDumpIdJson(s, h, o);
    printJsonArray(out, {o});
    return 0;
  }
  const uint32_t described = parseHex(t[1]);
  std::vector<std::pair<std::string, std::string>> pairs{
      {"kind", object ? "object" : "object array"},
      {"handle", hexHandle(described) + " (" + decimalHandle(described) + ")"},
      {object ? "class" : "element class", printable(t[2])},
      {"body", "0x" + t[3]},
      {object ? "toString" : "length", printable(t[4])},
  };
  if (s.dump())
    pairs.emplace_back("dump id", dumpIdText(s, h).value_or("none (made after loading)"));
  printPairs(out, pairs);
  return 0;
}

int runPath(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("findPathToRoot0", "path");
  const uint32_t target = s.resolveObject(inv.args[0]);
  int32_t maxNodes = kDefaultMaxNodes;
  if (!inv.maxNodes.empty()) {
    const std::optional<int32_t> n = parseCount(inv.maxNodes);
    if (!n)
      throw UsageError("--max-nodes needs a whole number from 0 to 2147483647, not '" +
                       inv.maxNodes + "'");
    maxNodes = *n;
  }
  const simvm::PathResult p = s.caller().path(target, maxNodes);
  const bool found = p.array != 0;
  if (found) s.setLastHandles(p.handles);

  if (inv.output == OutputMode::Raw) {
    if (!found) {
      out << p.message << '\n';
      return 1;
    }
    for (uint32_t h : p.handles) out << static_cast<int32_t>(h) << '\n';
    return 0;
  }
  if (!found) {
    std::string why = p.message;
    if (p.message == "Exceeded maximum nodes")
      why +=
          " (the search gave up after " + std::to_string(maxNodes) + " nodes: raise --max-nodes)";
    else if (const char k = kindOf(s.vm(), target); k != 'I' && k != 'C' && k != 'A')
      why += " (it is not an object or an object array)";
    else if (p.message == "Search Failed")
      why +=
          " (no static field or other thread's local holds it, except perhaps through weak "
          "references)";
    throw CliError("no path to a root for " + describeHandle(s, target) + ": " + printable(why));
  }

  std::vector<std::string> via(p.handles.size());
  std::vector<std::vector<Link>> links(p.handles.size());
  for (size_t i = 1; i < p.handles.size(); ++i) {
    links[i] = linksBetween(s, p.handles[i - 1], p.handles[i], i == 1);
    for (const Link& l : links[i]) via[i] += (via[i].empty() ? "" : ", ") + linkText(l);
    if (via[i].empty()) via[i] = "?";
  }
  const uint32_t root = p.handles.empty() ? 0 : p.handles[0];
  const char rootKind = kindOf(s.vm(), root);
  std::string threadName;
  if (rootKind == 'I') {
    try {
      threadName = s.vm().stringValue(s.vm().getField(root, "name"));
    } catch (const std::exception&) {
    }
  }
  if (!via.empty())
    via[0] = rootKind == 'C'      ? "root: class"
             : threadName.empty() ? "root: thread"
                                  : "root: thread \"" + printable(threadName) + "\"";

  if (inv.output == OutputMode::Json) {
    std::vector<JsonObject> records;
    for (size_t i = 0; i < p.handles.size(); ++i) {
      const uint32_t h = p.handles[i];
      JsonObject o;
      const char kind = kindOf(s.vm(), h);
      o.add("kind", std::string(1, kind ? kind : '?'))
          .add("handle", int64_t{h})
          .add("class", reportedClassName(s.vm(), h));
      if (i == 0) {
        o.add("root", rootKind == 'C' ? "class" : "thread");
        if (!threadName.empty()) o.add("thread", threadName);
      } else if (!links[i].empty()) {
        addLinkJson(o, links[i][0]);
      }
      addDumpIdJson(s, h, o);
      records.push_back(o);
    }
    printJsonArray(out, records);
    return 0;
  }

  Table t;
  t.columns = {{"#", Align::Right},       {"kind"},  {"handle", Align::Right},
               {"decimal", Align::Right}, {"class"}, {"held by the row above through"}};
  if (s.dump()) t.columns.push_back({"dump id"});
  for (size_t i = 0; i < p.handles.size(); ++i) {
    const uint32_t h = p.handles[i];
    const char kind = kindOf(s.vm(), h);
    std::vector<std::string> row{
        std::to_string(i + 1), std::string(1, kind ? kind : '?'),       hexHandle(h),
        decimalHandle(h),      printable(reportedClassName(s.vm(), h)), via[i]};
    addDumpId(s, h, row);
    t.rows.push_back(row);
  }
  printTable(out, t);
  out << describeHandle(s, target) << " is held by a chain of "
      << plural(p.handles.size() - 1, "link", "links") << " from "
      << (rootKind == 'C' ? "class " + printable(reportedClassName(s.vm(), root))
                          : "thread " + (threadName.empty() ? hexHandle(root)
                                                            : "\"" + printable(threadName) + "\""))
      << '\n';
  return 0;
}

int runUsage(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getMemoryUsage0", "usage");
  const std::string prefix = slashPrefix(inv.args.empty() ? "" : inv.args[0]);
  const simvm::UsageReport u = s.caller().usage(prefix);
  std::vector<uint32_t> classes;
  for (const simvm::UsageRecord& r : u.records) classes.push_back(s.vm().findClass(r.className));
  s.setLastHandles(classes);

  if (inv.output == OutputMode::Raw) {
    out.write(u.bytes.data(), static_cast<std::streamsize>(u.bytes.size()));
    return 0;
  }
  if (inv.output == OutputMode::Json) {
    std::vector<JsonObject> records;
    for (const simvm::UsageRecord& r : u.records) {
      JsonObject o;
      o.add("class", r.className).add("count", int64_t{r.count}).add("bytes", r.bytes);
      records.push_back(o);
    }
    printJsonArray(out, records);
    return 0;
  }
  if (u.records.empty()) {
    out << "no instances of a class whose name begins with '" << printable(prefix) << "'\n";
    return 0;
  }
  Table t;
  t.columns = {
      {"#", Align::Right}, {"class"}, {"instances", Align::Right}, {"bytes", Align::Right}};
  int64_t instances = 0, bytes = 0;
  for (size_t i = 0; i < u.records.size(); ++i) {
    const simvm::UsageRecord& r = u.records[i];
    t.rows.push_back({std::to_string(i + 1), printable(r.className), std::to_string(r.count),
                      std::to_string(r.bytes)});
    instances += r.count;
    bytes += r.bytes;
  }
  printTable(out, t);
  out << plural(u.records.size(), "class", "classes") << ", " << instances << " instances, "
      << bytes << " bytes (instances and the arrays their fields own)\n";
  return 0;
}

}  // namespace cli
