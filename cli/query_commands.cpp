// The commands that list a report: classes, instances, refs, referrers, and usage.
#include "cli/query_commands.h"

#include <algorithm>
#include <cstdint>

#include "cli/dominator_commands.h"
#include "cli/dump_notes.h"
#include "cli/present.h"

namespace cli {

namespace {

// The census without the holder classes a dump's importer made for kinds of root: class
// objects the dump does not hold, counted by the library as instances of java/lang/Class (and,
// crediting superclasses, of java/lang/Object).
void dropRootHolders(Session& s, simvm::Report& r, bool superclasses) {
  const simvm::LoadedHeap* dump = s.dump();
  if (!dump || dump->rootHolders.empty()) return;
  const int64_t holders = static_cast<int64_t>(dump->rootHolders.size());
  const uint32_t classClass = s.vm().classClass(), objectClass = s.vm().objectClass();
  for (auto it = r.records.begin(); it != r.records.end();) {
    if (it->kind == 'C' &&
        (it->handle == classClass || (superclasses && it->handle == objectClass))) {
      const int64_t count = parseDecimal(it->detail) - holders;
      if (count <= 0) {
        it = r.records.erase(it);
        continue;
      }
      it->detail = std::to_string(count);
    }
    ++it;
  }
  r.count = static_cast<int32_t>(r.records.size());
}

}  // namespace

int runClasses(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getClasses0", "classes");
  const bool retained = inv.flags.count("--retained") > 0;
  if (retained && inv.output == OutputMode::Raw)
    throw UsageError(
        "--retained adds a column to tables and JSON; --raw writes all the library wrote");
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
  simvm::Report r = s.caller().heapClasses(prefix, inv.flags.count("--superclasses") > 0,
                                           inv.flags.count("--by-count") > 0);
  dropRootHolders(s, r, inv.flags.count("--superclasses") > 0);
  if (inv.flags.count("--by-count"))  // a lowered count may move its row
    std::stable_sort(r.records.begin(), r.records.end(),
                     [](const simvm::Record& a, const simvm::Record& b) {
                       return parseDecimal(a.detail) > parseDecimal(b.detail);
                     });
  if (baseline) return presentCensusAgainst(s, *baseline, r, usageBytes, prefix, inv, out);
  ReportView view;
  view.limit = inv.limit;
  view.detail = Detail::Count;
  if (retained)
    view.retained = [&s](const simvm::Record& rec) {
      return rec.kind == 'C' ? std::optional<uint64_t>(s.dominators().classRetained(rec.handle))
                             : std::nullopt;
    };
  view.summary =
      r.records.empty()
          ? "no class name begins with " + quoteInput(prefix)
          : plural(r.records.size(), "record", "records") +
                " (C: instances of the class, A: object arrays with it as element class)";
  // A dump's own figure beside the count, as a class histogram shows it: per class, not
  // credited up to superclasses.
  if (const simvm::LoadedHeap* dump = s.dump(); dump && !inv.flags.count("--superclasses")) {
    view.dumpBytes = [dump](const simvm::Record& rec) -> std::optional<uint64_t> {
      const auto& bytes = rec.kind == 'A' ? dump->objectArrayBytes : dump->instanceBytes;
      const auto it = bytes.find(rec.handle);
      return it == bytes.end() ? std::nullopt : std::optional<uint64_t>(it->second);
    };
    if (!r.records.empty())
      view.summary +=
          "; dump bytes: what the dump holds of them (fields or elements, without "
          "object headers)";
  }
  return presentReport(s, r, view, inv.output, out);
}

namespace {

// For "int[][]" or "java.lang.String[][]": the class of its elements ("[I",
// "[Ljava/lang/String;") when the heap has one; the arrays of arrays are the object arrays
// with that element class. 0 for any other text.
uint32_t elementArrayClass(Session& s, const std::string& text) {
  if (text.size() < 5 || text.compare(text.size() - 4, 4, "[][]") != 0 || looksLikeHandle(text))
    return 0;
  const Session::ClassLookup element = s.lookUpClass(text.substr(0, text.size() - 2));
  return element.cls && kindOf(s.vm(), element.cls) == 'C' ? element.cls : 0;
}

// What `instances` says of primitive arrays and of arrays of arrays it cannot list.
void printArrayNote(const ArrayClassNote& note, OutputMode mode, std::ostream& out) {
  if (mode != OutputMode::Json) {
    out << note.text << '\n';
    return;
  }
  JsonObject o;
  o.add("class", note.name).add("listed", false);
  if (note.tally)
    o.add("count", static_cast<int64_t>(note.tally->count))
        .add("bytes", static_cast<int64_t>(note.tally->bytes));
  o.add("note", note.text);
  printJsonArray(out, {o});
}

// More rows than a list query's own objects (its output stream) can take from it.
constexpr size_t kCallObjectRows = 4;

}  // namespace

int runInstances(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getHandles0", "instances");
  // Arrays of arrays are object arrays whose elements are arrays: listed when the heap has the
  // class of their elements. Otherwise, for them and for primitive arrays, which the queries do
  // not list, what the dump holds.
  if (const uint32_t element = elementArrayClass(s, inv.args[0])) {
    simvm::Report r = s.caller().handles(element, false, 1);
    dropCallObjects(s, r);
    if (!r.records.empty() || inv.output == OutputMode::Raw) {
      ReportView view;
      view.limit = inv.limit;
      view.skip = inv.skip;
      view.summary = plural(r.records.size(), "array", "arrays") + " of " +
                     printable(arrayTypeName(s.vm().className(element)));
      return presentReport(s, r, view, inv.output, out);
    }
  }
  if (inv.output != OutputMode::Raw)
    if (const std::optional<ArrayClassNote> note = arrayClassNote(s, inv.args[0])) {
      printArrayNote(*note, inv.output, out);
      return 0;
    }
  // "X[]" asks for the arrays of X, whether or not the heap has a class object for X[].
  const Session::ClassLookup named =
      looksLikeHandle(inv.args[0]) ? Session::ClassLookup{} : s.lookUpClass(inv.args[0]);
  const bool arraysOfNamed = named.element != 0 && !inv.flags.count("--arrays");
  const uint32_t cls = arraysOfNamed ? named.element : s.resolveClass(inv.args[0]);
  if (kindOf(s.vm(), cls) != 'C')
    throw CliError(describeHandle(s, cls) + " is not a class", CliError::DoesNotApply);
  const bool subclasses = inv.flags.count("--subclasses") > 0;
  const bool arrays = arraysOfNamed || inv.flags.count("--arrays") > 0;
  // Of a long list only the rows shown need their class names (the total, $1, $2, ... and the
  // call's own objects dropped below need handles only). Names are read a few rows further, for
  // the rows those objects leave; should more have been dropped, the list is read again whole.
  simvm::NamedRecords withNames;
  if (inv.output != OutputMode::Raw && inv.limit) {
    const uint64_t end = uint64_t{inv.skip} + *inv.limit + kCallObjectRows;
    withNames = {inv.skip, end < SIZE_MAX ? static_cast<size_t>(end) : SIZE_MAX};
  }
  simvm::Report r = s.caller().handles(cls, subclasses, arrays ? 1 : 0, withNames);
  dropCallObjects(s, r);  // the query's own output stream is no object of the heap
  const ShownRows shown = shownRows(r.records.size(), inv.limit, inv.skip);
  for (size_t i = shown.first; i < shown.end; ++i)
    if (r.records[i].className.empty()) {
      r = s.caller().handles(cls, subclasses, arrays ? 1 : 0);
      dropCallObjects(s, r);
      break;
    }
  ReportView view;
  view.limit = inv.limit;
  view.skip = inv.skip;
  view.retained = [&s](const simvm::Record& rec) { return retainedOf(s, rec.handle); };
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
  view.skip = inv.skip;
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
  view.skip = inv.skip;
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

void printUsageTable(const simvm::UsageReport& u, std::optional<size_t> limit, std::ostream& out) {
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
  out << plural(u.records.size(), "class", "classes") << ", "
      << plural(static_cast<size_t>(instances), "instance", "instances") << ", " << bytes
      << " bytes (instances and the arrays their fields own)" << shownNote(u.records.size(), limit)
      << '\n';
}

}  // namespace

int runUsage(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getMemoryUsage0", "usage");
  const std::string prefix = slashPrefix(inv.args.empty() ? "" : inv.args[0]);
  const simvm::UsageReport u =
      inv.output == OutputMode::Raw ? s.caller().usage(prefix) : s.caller().heapUsage(prefix);
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
