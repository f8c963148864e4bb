#include "cli/referrer_groups.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "cli/args.h"
#include "cli/links.h"

namespace cli {

namespace {

// What makes two referrer records alike: holder kind, class, and how it holds, an element's
// index left out. Views into the records, which outlive the map.
struct GroupKey {
  char kind;
  std::string_view className, detail;
  bool operator==(const GroupKey& o) const {
    return kind == o.kind && className == o.className && detail == o.detail;
  }
};

struct GroupKeyHash {
  size_t operator()(const GroupKey& k) const {
    const size_t a = std::hash<std::string_view>()(k.className);
    const size_t b = std::hash<std::string_view>()(k.detail);
    return a ^ (b * 0x9e3779b97f4a7c15ull) ^ static_cast<unsigned char>(k.kind);
  }
};

GroupKey keyOf(const simvm::Record& r) {
  // An element's detail is its index: every element of one class of array is alike.
  const bool element = !r.detail.empty() && parseCount(r.detail).has_value();
  return {r.kind, r.className, element ? std::string_view() : std::string_view(r.detail)};
}

// How a group holds: a one-row group as its row says it, else without an element's index.
std::optional<Link> groupLink(const simvm::Record& r, const ReferrerGroup& g) {
  std::optional<Link> link = linkFromDetail(r.detail, r.kind == 'C');
  if (link && g.count > 1 && link->via == Link::Via::Element) link->index = -1;
  return link;
}

std::string groupLinkText(const Link& link) {
  return link.via == Link::Via::Element && link.index < 0 ? "elements" : linkText(link);
}

}  // namespace

std::vector<ReferrerGroup> groupReferrers(const simvm::Report& report) {
  std::vector<ReferrerGroup> groups;
  std::unordered_map<GroupKey, size_t, GroupKeyHash> index;
  for (size_t i = 0; i < report.records.size(); ++i) {
    const auto [it, added] = index.try_emplace(keyOf(report.records[i]), groups.size());
    if (added) groups.push_back({i, 0});
    ++groups[it->second].count;
  }
  std::stable_sort(
      groups.begin(), groups.end(),
      [](const ReferrerGroup& a, const ReferrerGroup& b) { return a.count > b.count; });
  return groups;
}

int presentReferrerGroups(Session& s, const simvm::Report& report, const ReportView& view,
                          OutputMode mode, std::ostream& out) {
  const std::vector<ReferrerGroup> groups = groupReferrers(report);
  std::vector<uint32_t> examples;
  for (const ReferrerGroup& g : groups) examples.push_back(report.records[g.first].handle);
  s.setLastHandles(examples);
  const ShownRows shown = shownRows(groups.size(), view.limit, view.skip);
  if (mode == OutputMode::Json) {
    JsonArrayWriter records(out);
    JsonObject o;
    for (size_t i = shown.first; i < shown.end; ++i) {
      const simvm::Record& r = report.records[groups[i].first];
      o.clear();
      o.add("kind", std::string(1, r.kind))
          .add("handle", int64_t{r.handle})
          .add("class", r.className);
      if (const std::optional<Link> link = groupLink(r, groups[i])) {
        if (link->via == Link::Via::Element && link->index < 0)
          o.add("via", "element");
        else
          addLinkJson(o, *link);
      }
      o.add("count", static_cast<int64_t>(groups[i].count));
      addDumpIdJson(s, r.handle, o);
      records.add(o);
    }
    records.finish();
    return 0;
  }
  Table t;
  t.columns = {{"#", Align::Right},      {"kind"}, {"class"}, {"via"}, {"count", Align::Right},
               {"example", Align::Right}};
  if (s.dump()) t.columns.push_back({"dump id"});
  for (size_t i = shown.first; i < shown.end; ++i) {
    const simvm::Record& r = report.records[groups[i].first];
    const std::optional<Link> link = groupLink(r, groups[i]);
    std::vector<std::string> row{std::to_string(i + 1),
                                 std::string(1, r.kind),
                                 printable(arrayTypeName(r.className)),
                                 link ? groupLinkText(*link) : "",
                                 std::to_string(groups[i].count),
                                 hexHandle(r.handle)};
    addDumpId(s, r.handle, row);
    t.rows.push_back(row);
  }
  if (!t.rows.empty()) printTable(out, t);
  out << view.summary;
  if (!report.records.empty())
    out << " in " << plural(groups.size(), "group", "groups")
        << " (rows alike but for the holder and an element's index)";
  out << shownNote(groups.size(), view.limit, view.skip) << '\n';
  return 0;
}

}  // namespace cli
