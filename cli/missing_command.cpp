// missing: the references of a loaded dump to ids the dump does not contain. A JDK dump has
// some: objects the dumping VM leaves out (hidden classes' mirrors, objects of its own that are
// not Java heap objects) are still referred to by the fields that hold them.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "cli/dump_notes.h"
#include "cli/format.h"
#include "cli/present.h"
#include "cli/query_commands.h"

namespace cli {
namespace {

std::string hexId(uint64_t id) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(id));
  return buf;
}

}  // namespace

int runMissing(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  const simvm::LoadedHeap* dump = s.dump();
  if (!dump) throw CliError("missing needs a heap dump (--heap FILE)", CliError::DoesNotApply);
  std::vector<uint32_t> holders;
  if (inv.output == OutputMode::Json) {
    std::vector<JsonObject> records;
    for (const simvm::DanglingReference& d : dump->dangling) {
      if (inv.limit && records.size() == *inv.limit) break;
      JsonObject o;
      o.add("referrer", d.referrer ? hexId(d.referrer) : std::string())
          .add("field", d.where)
          .add("missing", hexId(d.missing));
      records.push_back(o);
    }
    for (const simvm::SkippedRecords& k : dump->skippedRecords) {  // what was not read at all
      JsonObject o;
      o.add("skippedTag", hexId(k.tag))
          .add("records", static_cast<int64_t>(k.count))
          .add("bytes", static_cast<int64_t>(k.bytes));
      records.push_back(o);
    }
    printJsonArray(out, records);
    return 0;
  }
  Table t;
  t.columns = {{"#", Align::Right}, {"referrer"}, {"class"}, {"field"}, {"missing id"}};
  const size_t shown = std::min(dump->dangling.size(), inv.limit.value_or(SIZE_MAX));
  for (size_t i = 0; i < shown; ++i) {
    const simvm::DanglingReference& d = dump->dangling[i];
    std::string cls = "-";
    uint32_t h = 0;
    if (auto it = dump->handleOfId.find(d.referrer); d.referrer && it != dump->handleOfId.end()) {
      h = it->second;
      cls = printable(reportedClassName(s.vm(), h));
    }
    holders.push_back(h);
    t.rows.push_back({std::to_string(i + 1), d.referrer ? "@" + hexId(d.referrer).substr(2) : "-",
                      cls, printable(d.where), "@" + hexId(d.missing).substr(2)});
  }
  s.setLastHandles(holders);
  if (!t.rows.empty()) printTable(out, t);
  out << plural(dump->danglingReferences, "reference", "references")
      << " to objects missing from the dump";
  if (shown < dump->danglingReferences) out << " (the first " << shown << " listed)";
  out << '\n';
  if (const std::optional<std::string> skipped = skippedRecordsNote(*dump)) out << *skipped << '\n';
  return 0;
}

}  // namespace cli
