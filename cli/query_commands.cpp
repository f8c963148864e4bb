// The commands that list a report: classes, instances, refs, referrers, and usage.
#include "cli/query_commands.h"

#include <cstdint>

#include "cli/dump_notes.h"
#include "cli/present.h"

namespace cli {

int runClasses(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getClasses0", "classes");
  const std::string prefix = slashPrefix(inv.args.empty() ? "" : inv.args[0]);
  // The heap's census: the call's own prefix String and stream are not counted (the raw bytes
  // stay the library's).
  const Baseline* baseline = inv.output != OutputMode::Raw ? ctx.baseline() : nullptr;
  // Beside a baseline, the bytes of each class: the usage query, in a scope of its own and before
  // the census, so that neither counts the other's objects.
  std::map<std::string, int64_t> usageBytes;
  if (baseline && !inv.flags.count("--superclasses")) {
    const auto scope = s.callScope();
    for (const simvm::UsageRecord& u : s.caller().heapUsage(prefix).records)
      usageBytes[u.className] = u.bytes;
  }
  const simvm::Report r = s.caller().heapClasses(prefix, inv.flags.count("--superclasses") > 0,
                                                 inv.flags.count("--by-count") > 0);
  if (baseline) return presentCensusAgainst(s, *baseline, r, usageBytes, prefix, inv, out);
  ReportView view;
  view.limit = inv.limit;
  view.detail = Detail::Count;
  view.summary =
      r.records.empty()
          ? "no class name begins with " + quoteInput(prefix)
          : plural(r.records.size(), "record", "records") +
                " (C: instances of the class, A: object arrays with it as element class)";
  return presentReport(s, r, view, inv.output, out);
}

int runInstances(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getHandles0", "instances");
  // Primitive arrays and arrays of arrays, which the queries do not list: what the dump holds.
  if (inv.output != OutputMode::Raw)
    if (const std::optional<std::string> note = arrayClassNote(s, inv.args[0])) {
      out << *note << '\n';
      return 0;
    }
  // "X[]" asks for the arrays of X, whether or not the heap has a class object for X[].
  const Session::ClassLookup named =
      looksLikeHandle(inv.args[0]) ? Session::ClassLookup{} : s.lookUpClass(inv.args[0]);
  const bool arraysOfNamed = named.element != 0 && !inv.flags.count("--arrays");
  const uint32_t cls = arraysOfNamed ? named.element : s.resolveClass(inv.args[0]);
  if (kindOf(s.vm(), cls) != 'C') throw CliError(describeHandle(s, cls) + " is not a class");
  const bool subclasses = inv.flags.count("--subclasses") > 0;
  const bool arrays = arraysOfNamed || inv.flags.count("--arrays") > 0;
  simvm::Report r = s.caller().handles(cls, subclasses, arrays ? 1 : 0);
  dropCallObjects(s, r);  // the query's own output stream is no object of the heap
  ReportView view;
  view.limit = inv.limit;
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
  requireHeapHandle(s, h, inv);
  const simvm::Report r = s.caller().references(h);
  ReportView view;
  view.limit = inv.limit;
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
  requireHeapHandle(s, h, inv);
  const simvm::Report r = s.caller().referrers(h);
  ReportView view;
  view.limit = inv.limit;
  view.detail = Detail::Link;
  view.holderIsClass = [](const simvm::Record& rec) { return rec.kind == 'C'; };
  view.summary = r.records.empty() ? "nothing refers to " + describeHandle(s, h) +
                                         " (the calling thread's locals are not scanned)"
                                   : plural(r.records.size(), "referrer", "referrers") + " of " +
                                         describeHandle(s, h);
  return presentReport(s, r, view, inv.output, out);
}

namespace {

void printUsageJson(const simvm::UsageReport& u, std::optional<size_t> limit, std::ostream& out) {
  std::vector<JsonObject> records;
  for (const simvm::UsageRecord& r : u.records) {
    if (limit && records.size() == *limit) break;
    JsonObject o;
    o.add("class", r.className).add("count", int64_t{r.count}).add("bytes", r.bytes);
    records.push_back(o);
  }
  printJsonArray(out, records);
}

void printUsageTable(const simvm::UsageReport& u, std::optional<size_t> limit,
                     std::ostream& out) {
  Table t;
  t.columns = {
      {"#", Align::Right}, {"class"}, {"instances", Align::Right}, {"bytes", Align::Right}};
  int64_t instances = 0, bytes = 0;
  for (size_t i = 0; i < u.records.size(); ++i) {
    const simvm::UsageRecord& r = u.records[i];
    if (!limit || i < *limit)
      t.rows.push_back({std::to_string(i + 1), printable(r.className), std::to_string(r.count),
                        std::to_string(r.bytes)});
    instances += r.count;
    bytes += r.bytes;
  }
  printTable(out, t);
  out << plural(u.records.size(), "class", "classes") << ", " << instances << " instances, "
      << bytes << " bytes (instances and the arrays their fields own)"
      << shownNote(u.records.size(), limit) << '\n';
}

}  // namespace

int runUsage(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getMemoryUsage0", "usage");
  const std::string prefix = slashPrefix(inv.args.empty() ? "" : inv.args[0]);
  const simvm::UsageReport u = inv.output == OutputMode::Raw ? s.caller().usage(prefix)
                                                              : s.caller().heapUsage(prefix);
  std::vector<uint32_t> classes;
  for (const simvm::UsageRecord& r : u.records) classes.push_back(s.vm().findClass(r.className));
  s.setLastHandles(classes);

  if (inv.output == OutputMode::Raw)
    out.write(u.bytes.data(), static_cast<std::streamsize>(u.bytes.size()));
  else if (inv.output == OutputMode::Json)
    printUsageJson(u, inv.limit, out);
  else if (u.records.empty())
    out << "no instances of a class whose name begins with " << quoteInput(prefix) << "\n";
  else
    printUsageTable(u, inv.limit, out);
  return 0;
}

}  // namespace cli
