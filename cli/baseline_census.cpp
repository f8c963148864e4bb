// The census beside the baseline's (classes with --baseline).
#include <algorithm>
#include <optional>
#include <set>

#include "cli/present.h"
#include "cli/query_commands.h"

namespace cli {
namespace {

struct Compared {
  char kind = 0;
  uint32_t handle = 0;  // 0 for a class the heap no longer has
  std::string className;
  int64_t count = 0;
  std::optional<int64_t> baselineCount;  // none: new since the baseline
  std::optional<int64_t> bytes, baselineBytes;
  bool gone = false;
  int64_t countChange() const { return count - baselineCount.value_or(0); }
  std::optional<int64_t> bytesChange() const {
    if (!bytes && !baselineBytes) return std::nullopt;
    return bytes.value_or(0) - baselineBytes.value_or(0);
  }
  const char* status() const { return gone ? "gone" : baselineCount ? "both" : "new"; }
};

std::string signedText(int64_t n) { return (n > 0 ? "+" : "") + std::to_string(n); }

std::string optionalText(const std::optional<int64_t>& n) { return n ? std::to_string(*n) : "-"; }

}  // namespace

int presentCensusAgainst(Session& s, const Baseline& baseline, const simvm::Report& census,
                         const std::map<std::string, int64_t>& usageBytes,
                         const std::string& prefix, const Invocation& inv, std::ostream& out) {
  const bool credited = inv.flags.count("--superclasses") > 0;
  const auto& baseRows = credited ? baseline.creditedRows : baseline.rows;

  std::vector<Compared> rows;
  std::set<std::string> seen;
  for (const simvm::Record& r : census.records) {
    Compared c;
    c.kind = r.kind;
    c.handle = r.handle;
    c.className = r.className;
    c.count = parseDecimal(r.detail);
    const std::string key = Baseline::key(r.kind, r.className);
    seen.insert(key);
    if (auto it = baseRows.find(key); it != baseRows.end()) {
      c.baselineCount = it->second.count;
      c.baselineBytes = it->second.bytes;
    }
    if (auto it = usageBytes.find(r.className); r.kind == 'C' && it != usageBytes.end())
      c.bytes = it->second;
    rows.push_back(c);
  }
  for (const auto& [key, base] : baseRows) {
    const std::string className = key.substr(2);
    if (seen.count(key) || className.compare(0, prefix.size(), prefix) != 0) continue;
    Compared c;
    c.kind = key[0];
    c.className = className;
    c.baselineCount = base.count;
    c.baselineBytes = base.bytes;
    c.gone = true;
    rows.push_back(c);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Compared& a, const Compared& b) {
    if (a.countChange() != b.countChange()) return a.countChange() > b.countChange();
    const int64_t ab = a.bytesChange().value_or(0), bb = b.bytesChange().value_or(0);
    if (ab != bb) return ab > bb;
    return a.className != b.className ? a.className < b.className : a.kind > b.kind;
  });

  std::vector<uint32_t> handles;
  for (const Compared& c : rows) handles.push_back(c.handle);
  s.setLastHandles(handles);
  const size_t shown = std::min(rows.size(), inv.limit.value_or(SIZE_MAX));
  if (inv.output == OutputMode::Json) {
    std::vector<JsonObject> records;
    for (size_t i = 0; i < shown; ++i) {
      const Compared& c = rows[i];
      JsonObject o;
      o.add("kind", std::string(1, c.kind));
      if (c.handle)
        o.add("handle", int64_t{c.handle});
      else
        o.addNull("handle");
      o.add("class", c.className).add("count", c.count);
      if (c.baselineCount)
        o.add("baselineCount", *c.baselineCount);
      else
        o.addNull("baselineCount");
      o.add("countChange", c.countChange());
      for (const auto& [name, value] : {std::pair{"bytes", c.bytes},
                                        {"baselineBytes", c.baselineBytes},
                                        {"bytesChange", c.bytesChange()}}) {
        if (value)
          o.add(name, *value);
        else
          o.addNull(name);
      }
      o.add("status", c.status());
      records.push_back(o);
    }
    printJsonArray(out, records);
    return 0;
  }
  if (!rows.empty()) {
    Table t;
    t.columns = {{"#", Align::Right},
                 {"kind"},
                 {"handle", Align::Right},
                 {"class"},
                 {"count", Align::Right},
                 {"baseline", Align::Right},
                 {"change", Align::Right},
                 {"bytes", Align::Right},
                 {"baseline", Align::Right},
                 {"change", Align::Right},
                 {""}};
    for (size_t i = 0; i < shown; ++i) {
      const Compared& c = rows[i];
      const std::optional<int64_t> bytesChange = c.bytesChange();
      t.rows.push_back({std::to_string(i + 1), std::string(1, c.kind),
                        c.handle ? hexHandle(c.handle) : "-", printable(c.className),
                        std::to_string(c.count), optionalText(c.baselineCount),
                        signedText(c.countChange()), optionalText(c.bytes),
                        optionalText(c.baselineBytes), bytesChange ? signedText(*bytesChange) : "-",
                        c.gone            ? "gone"
                        : c.baselineCount ? ""
                                          : "new"});
    }
    printTable(out, t);
  }
  out << plural(rows.size(), "record", "records") << " compared with " << printable(baseline.file)
      << ", largest growth first (bytes: the usage query's, instances only)"
      << shownNote(rows.size(), inv.limit) << '\n';
  return 0;
}

}  // namespace cli
