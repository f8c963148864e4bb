// dominators and retained: what freeing an object (or every instance of a class) would give
// back, from the heap's dominator tree. The tree is computed on the first command that needs it
// and kept for the session: the console's heap does not change while it runs (what a command
// allocates for its calls is unreachable, and given back after it).
#include "cli/dominator_commands.h"

#include <unistd.h>

#include <cstdio>

#include "cli/present.h"

namespace cli {

namespace {

// Heaps of fewer slots are done before a progress line would be read.
constexpr uint32_t kProgressSlots = 1u << 20;

// "retained sizes: reading the heap 42%" on one line of the terminal.
struct ProgressLine {
  int lastShown = -1;
  std::string lastStage;
  void update(const char* stage, uint64_t done, uint64_t total) {
    const int now = total ? static_cast<int>(done * 100 / total) : 0;
    if (now == lastShown && lastStage == stage) return;
    lastShown = now;
    lastStage = stage;
    std::fprintf(stderr, "\rretained sizes: %s %d%%\033[K", stage, now);
    std::fflush(stderr);
  }
  void clear() {
    if (lastShown >= 0) std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
};

std::string kindText(Session& s, uint32_t h) {
  const char k = kindOf(s.vm(), h);
  return std::string(1, k ? k : '?');
}

JsonObject objectJson(Session& s, uint32_t h) {
  const heapgraph::HeapDominators& d = s.dominators();
  JsonObject o;
  o.add("kind", kindText(s, h))
      .add("handle", int64_t{h})
      .add("class", reportedClassName(s.vm(), h))
      .add("retained", static_cast<int64_t>(d.retained(h)))
      .add("shallow", int64_t{d.shallow(h)});
  addDumpIdJson(s, h, o);
  return o;
}

// The rows of objects with their retained and shallow sizes, numbered from first + 1.
void printObjects(Session& s, const std::vector<uint32_t>& handles, size_t shown, std::ostream& out,
                  size_t first = 0) {
  if (handles.empty() || shown == 0) return;
  const heapgraph::HeapDominators& d = s.dominators();
  Table t;
  t.columns = {{"#", Align::Right},       {"kind"},  {"handle", Align::Right},
               {"decimal", Align::Right}, {"class"}, {"retained", Align::Right},
               {"shallow", Align::Right}};
  if (s.dump()) t.columns.push_back({"dump id"});
  for (size_t i = 0; i < std::min(shown, handles.size()); ++i) {
    const uint32_t h = handles[i];
    std::string name = printable(reportedClassName(s.vm(), h));
    if (kindOf(s.vm(), h) == 'A') name += "[]";
    std::vector<std::string> row{std::to_string(first + i + 1),
                                 kindText(s, h),
                                 hexHandle(h),
                                 decimalHandle(h),
                                 name,
                                 std::to_string(d.retained(h)),
                                 std::to_string(d.shallow(h))};
    addDumpId(s, h, row);
    t.rows.push_back(row);
  }
  printTable(out, t);
}

}  // namespace

const heapgraph::HeapDominators& Session::dominators() {
  if (!dominators_) {
    ProgressLine line;
    heapgraph::Progress progress;
    if (isatty(STDERR_FILENO) && vm().slotsUsed() >= kProgressSlots)
      progress = [&line](const char* stage, uint64_t done, uint64_t total) {
        line.update(stage, done, total);
      };
    try {
      dominators_ = heapgraph::HeapDominators::compute(vm(), progress);
    } catch (const std::bad_alloc&) {
      line.clear();
      throw CliError("not enough memory for the heap's dominator tree");
    }
    line.clear();
  }
  return *dominators_;
}

std::optional<uint64_t> retainedOf(Session& s, uint32_t h) {
  const heapgraph::HeapDominators& d = s.dominators();
  if (!d.reachable(h)) return std::nullopt;
  return d.retained(h);
}

std::string retainedCell(Session& s, uint32_t h) {
  const std::optional<uint64_t> bytes = retainedOf(s, h);
  return bytes ? std::to_string(*bytes) : "-";
}

void addRetainedJson(Session& s, uint32_t h, JsonObject& o) {
  if (const std::optional<uint64_t> bytes = retainedOf(s, h))
    o.add("retained", static_cast<int64_t>(*bytes));
  else
    o.addNull("retained");
}

int runDominators(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  const heapgraph::HeapDominators& d = s.dominators();
  const size_t rows = inv.limit.value_or(kDefaultDominatorRows);
  const std::vector<uint32_t> top = d.largest(rows, inv.skip);
  // $N is row N: in the shell the skipped rows are kept too (a copy of the ranking's prefix).
  s.setLastHandles(inv.skip && ctx.inShell ? d.largest(inv.skip + top.size()) : top);
  s.setListTotal(d.reachedObjects());
  if (inv.output == OutputMode::Json) {
    std::vector<JsonObject> records;
    for (uint32_t h : top) records.push_back(objectJson(s, h));
    printJsonArray(out, records);
    return 0;
  }
  printObjects(s, top, rows, out, inv.skip);
  out << plural(d.reachedObjects(), "object", "objects") << " reachable from the roots, "
      << d.total() << " bytes" << shownNote(d.reachedObjects(), rows, inv.skip) << '\n';
  return 0;
}

int runRetained(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  const std::string& arg = inv.args[0];
  const bool isClass = !looksLikeHandle(arg);
  const uint32_t h = isClass ? s.resolveClass(arg) : s.resolveObject(arg);
  if (!isClass) requireHeapHandle(s, h, inv);
  const heapgraph::HeapDominators& d = s.dominators();
  // A class's instances are listed (a walk of the whole tree and a sort) only when rows are
  // shown, or kept for the shell's $1, $2, ...; their number is kept with the tree.
  const bool countOnly = isClass && inv.limit == 0 && !ctx.inShell;
  const std::vector<uint32_t> below = countOnly ? std::vector<uint32_t>()
                                      : isClass ? d.topLevelInstances(h)
                                                : d.dominated(h);
  const size_t count = countOnly ? d.topLevelCount(h) : below.size();
  if (!countOnly) s.setLastHandles(below);
  s.setListTotal(count);
  const size_t shown = std::min(below.size(), inv.limit.value_or(SIZE_MAX));
  if (inv.output == OutputMode::Json) {
    std::vector<JsonObject> records;
    JsonObject subject;
    if (isClass) {
      subject.add("kind", "C")
          .add("handle", int64_t{h})
          .add("class", reportedClassName(s.vm(), h))
          .add("retained", static_cast<int64_t>(d.classRetained(h)))
          .add("instances", static_cast<int64_t>(count));
    } else {
      subject = objectJson(s, h);
      subject.add("reachable", d.reachable(h)).add("dominated", static_cast<int64_t>(below.size()));
    }
    records.push_back(subject);
    for (size_t i = 0; i < shown; ++i) records.push_back(objectJson(s, below[i]));
    printJsonArray(out, records);
    return 0;
  }
  printObjects(s, below, shown, out);
  if (isClass) {
    out << printable(reportedClassName(s.vm(), h)) << ": " << plural(count, "instance", "instances")
        << " not held below another of its instances, retaining " << d.classRetained(h) << " bytes"
        << shownNote(count, inv.limit) << '\n';
  } else if (!d.reachable(h)) {
    out << describeHandle(s, h)
        << " is reachable from no root (held, if at all, through Reference objects): it retains "
           "nothing\n";
  } else {
    out << describeHandle(s, h) << " retains " << d.retained(h) << " bytes (" << d.shallow(h)
        << " its own); it immediately dominates " << plural(below.size(), "object", "objects")
        << shownNote(below.size(), inv.limit) << '\n';
  }
  return 0;
}

}  // namespace cli
