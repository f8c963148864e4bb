// path: the chain the library found from a root down to an object, each row labelled with how
// the row above holds it.
#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "cli/dominator_commands.h"
#include "cli/dump_notes.h"
#include "cli/links.h"
#include "cli/path_holder.h"
#include "cli/present.h"
#include "cli/query_commands.h"

namespace cli {
namespace {

// The limit --max-nodes gives; nullopt without it.
std::optional<int32_t> givenMaxNodes(const Invocation& inv) {
  if (inv.maxNodes.empty()) return std::nullopt;
  const std::optional<int32_t> n = parseCount(inv.maxNodes);
  if (!n)
    throw UsageError("--max-nodes needs a whole number from 0 to 2147483647, not " +
                     quoteInput(inv.maxNodes));
  return *n;
}

// The library's failure message with a word on what it means here.
std::string noPathText(Session& s, uint32_t target, const simvm::PathResult& p, int32_t maxNodes,
                       bool holderCutShort) {
  std::string why = p.message;
  if (holderCutShort)
    why += " (the search for a path to what holds it gave up after " + std::to_string(maxNodes) +
           " nodes: raise --max-nodes)";
  else if (p.message == "Exceeded maximum nodes")
    why += " (--max-nodes " + std::to_string(maxNodes) + " cut the search short after " +
           plural(static_cast<size_t>(maxNodes), "node", "nodes") +
           "; without it the search may cover the whole heap)";
  else if (const char k = kindOf(s.vm(), target); k == 'P')
    why +=
        " (the search takes no primitive arrays, and nothing that holds it has a path to a "
        "root)";
  else if (k != 'I' && k != 'C' && k != 'A')
    why += " (it is not an object or an object array)";
  else if (isReferenceObject(s.vm(), target))
    why += k == 'A' ? " (its elements are Reference objects, and the search treats such an array "
                      "as one; nothing that holds it has a path to a root)"
                    : " (it is a Reference object, which the search does not take; nothing that "
                      "holds it has a path to a root)";
  else if (const auto held =
               p.message == "Search Failed" ? referenceHolderNote(s, target) : std::nullopt)
    why += " (" + *held + ")";
  else if (p.message == "Search Failed")
    why +=
        " (no static field or other thread's local holds it, except perhaps through weak "
        "references)";
  return "no path to a root for " + describeHandle(s, target) + ": " + printable(why);
}

// reportedClassName, read once for each class of a long chain's objects and arrays.
class ClassNames {
 public:
  explicit ClassNames(const simvm::Vm& vm) : vm_(vm) {}
  // The name of h, whose kind is `kind`; valid until the next call.
  const std::string& of(uint32_t h, char kind) {
    if (kind == 'I' || kind == 'A') {
      const uint32_t cls = vm_.classOfObject(h);
      auto [it, added] = byClass_.try_emplace(cls);
      if (added) it->second = reportedClassName(vm_, h);
      return it->second;
    }
    other_ = reportedClassName(vm_, h);
    return other_;
  }

 private:
  const simvm::Vm& vm_;
  std::unordered_map<uint32_t, std::string> byClass_;
  std::string other_;
};

// The chain with what the library's other queries say about each step.
struct PathView {
  std::vector<uint32_t> handles;         // root first
  std::vector<char> kinds;               // kindOf each handle
  std::vector<std::vector<Link>> links;  // links[i]: how row i-1 holds row i (links[0] empty)
  std::vector<std::string> via;          // the table's last column
  char rootKind = 0;
  std::string threadName;               // of a root thread, when it has one
  std::optional<std::string> dumpRoot;  // the kind of GC root the dump names, "root: JNI global"
  std::string why;          // when the chain is not the library's path: how it was found
  std::string lastViaJson;  // how the last row is held, where no field says ("loader")
};

PathView viewPath(Session& s, const std::vector<uint32_t>& handles) {
  PathView v;
  v.handles = handles;
  v.via.resize(handles.size());
  v.links.resize(handles.size());
  v.kinds.resize(handles.size());
  for (size_t i = 0; i < handles.size(); ++i) v.kinds[i] = kindOf(s.vm(), handles[i]);
  LinkReader reader(s);
  for (size_t i = 1; i < handles.size(); ++i) {
    const auto scope = s.callScope();  // each step's queries give back what they take
    v.links[i] = reader.between(handles[i - 1], v.kinds[i - 1], handles[i], v.kinds[i], i == 1);
    for (const Link& l : v.links[i]) v.via[i] += (v.via[i].empty() ? "" : ", ") + linkText(l);
    if (v.via[i].empty()) v.via[i] = "?";
  }
  const uint32_t root = handles.empty() ? 0 : handles[0];
  v.rootKind = kindOf(s.vm(), root);
  if (v.rootKind == 'I') {
    try {
      v.threadName = s.vm().stringValue(s.vm().getField(root, "name"));
    } catch (const std::exception&) {
    }
  }
  if (!v.via.empty())
    v.via[0] = v.rootKind == 'C'      ? "root: class"
               : v.threadName.empty() ? "root: thread"
                                      : "root: thread \"" + printable(v.threadName) + "\"";
  v.dumpRoot = dumpRootLabel(s, handles);
  if (v.dumpRoot) v.via[0] = *v.dumpRoot;
  return v;
}

void printPathJson(Session& s, const PathView& v, std::optional<size_t> limit, std::ostream& out) {
  JsonArrayWriter records(out);
  JsonObject o;
  ClassNames names(s.vm());
  for (size_t i = 0; i < std::min(v.handles.size(), limit.value_or(SIZE_MAX)); ++i) {
    const uint32_t h = v.handles[i];
    o.clear();
    const char kind = v.kinds[i];
    o.add("kind", std::string(1, kind ? kind : '?'))
        .add("handle", int64_t{h})
        .add("class", names.of(h, kind));
    if (i == 0) {
      o.add("root", v.rootKind == 'C' ? "class" : "thread");
      if (v.dumpRoot) o.add("gcRoot", v.dumpRoot->substr(6));  // without "root: "
      if (!v.threadName.empty()) o.add("thread", v.threadName);
    } else if (!v.links[i].empty()) {
      addLinkJson(o, v.links[i][0]);
      if (v.links[i].size() > 1) {  // held more than one way: all of them, as the table shows
        std::vector<JsonObject> all(v.links[i].size());
        for (size_t k = 0; k < all.size(); ++k) addLinkJson(all[k], v.links[i][k]);
        o.addRaw("links", jsonArrayText(all));
      }
    }
    if (i > 0 && i + 1 == v.handles.size() && !v.lastViaJson.empty()) o.add("via", v.lastViaJson);
    if (i + 1 == v.handles.size() && !v.why.empty()) o.add("answered", v.why);
    addRetainedJson(s, h, o);
    addDumpIdJson(s, h, o);
    records.add(o);
  }
  records.finish();
}

void printPathTable(Session& s, uint32_t target, const PathView& v, std::optional<size_t> limit,
                    std::ostream& out) {
  Table t;
  t.columns = {{"#", Align::Right},       {"kind"},  {"handle", Align::Right},
               {"decimal", Align::Right}, {"class"}, {"held by the row above through"},
               {"retained", Align::Right}};
  if (s.dump()) t.columns.push_back({"dump id"});
  const size_t shown = std::min(v.handles.size(), limit.value_or(SIZE_MAX));
  t.cellEnds.reserve(shown * t.columns.size());
  ClassNames names(s.vm());
  // A long chain repeats a class: its cell is spelled once for each run of rows.
  std::string lastName, classCell;
  for (size_t i = 0; i < shown; ++i) {
    const uint32_t h = v.handles[i];
    const char kind = v.kinds[i];
    const std::string& name = names.of(h, kind);
    if (i == 0 || name != lastName) {
      classCell = printable(arrayTypeName(name));
      lastName = name;
    }
    t.cell(std::to_string(i + 1));
    t.cell(std::string(1, kind ? kind : '?'));
    t.cell(hexHandle(h));
    t.cell(decimalHandle(h));
    t.cell(classCell);
    t.cell(v.via[i]);
    t.cell(retainedCell(s, h));
    addDumpId(s, h, t);
  }
  printTable(out, t);
  const uint32_t root = v.handles.empty() ? 0 : v.handles[0];
  const std::string from =
      v.dumpRoot ? v.dumpRoot->substr(6)
      : v.rootKind == 'C'
          ? "class " + printable(reportedClassName(s.vm(), root))
          : "thread " +
                (v.threadName.empty() ? hexHandle(root) : "\"" + printable(v.threadName) + "\"");
  if (v.handles.size() == 1)
    out << describeHandle(s, target) << " is a root itself ("
        << (v.dumpRoot || v.rootKind != 'C' ? from : "a class") << ")";
  else
    out << describeHandle(s, target) << " is held by a chain of "
        << plural(v.handles.size() - 1, "link", "links") << " from " << from;
  out << shownNote(v.handles.size(), limit) << '\n';
  if (!v.why.empty()) out << "(" << v.why << ")\n";
}

}  // namespace

int32_t defaultMaxNodes(const simvm::Vm& vm) {
  // A node is a slot of the handle table: no search can find more than the slots in use.
  return static_cast<int32_t>(
      std::clamp<int64_t>(int64_t{vm.slotsUsed()} + 1, kDefaultMaxNodes, INT32_MAX));
}

int runPath(Context& ctx, const Invocation& inv, std::ostream& out) {
  const std::optional<int32_t> given = givenMaxNodes(inv);  // checked before the heap loads
  Session& s = ctx.session();
  const int32_t maxNodes = given.value_or(defaultMaxNodes(s.vm()));
  s.requireStub("findPathToRoot0", "path");
  const uint32_t target = s.resolveObject(inv.args[0]);
  requireHeapHandle(s, target, inv);
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
  PathView v;
  if (found) {
    v = viewPath(s, p.handles);
  } else {
    // Where the search has no answer (a primitive array, a Reference, a class), what holds it.
    bool cutShort = false;
    std::optional<HeldAnswer> held = answerWithoutPath(s, target, maxNodes, cutShort);
    if (!held) {
      const std::string why = noPathText(s, target, p, maxNodes, cutShort);
      if (inv.output != OutputMode::Json) throw CliError(why);
      // For a script, no path is an answer like any other, not a failure of the command.
      JsonObject o;
      o.add("handle", int64_t{target}).add("noPath", why);
      out << o.text() << '\n';
      return 0;
    }
    s.setLastHandles(held->handles);
    v = viewPath(s, held->handles);
    if (held->lastVia && v.via.size() > 1 && v.links.back().empty()) {
      v.via.back() = *held->lastVia;
      v.lastViaJson = held->lastViaJson;
    }
    v.why = held->why;
  }
  if (inv.output == OutputMode::Json)
    printPathJson(s, v, inv.limit, out);
  else
    printPathTable(s, target, v, inv.limit, out);
  return 0;
}

}  // namespace cli
