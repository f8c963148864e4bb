#include "cli/links.h"

#include "cli/args.h"

namespace cli {

std::optional<Link> linkFromDetail(const std::string& detail, bool holderIsClass) {
  if (detail.empty()) return std::nullopt;
  Link link;
  if (detail.size() > 2 && detail.compare(detail.size() - 2, 2, "()") == 0) {
    link.via = Link::Via::Local;
    link.name = detail.substr(0, detail.size() - 2);
  } else if (std::optional<int32_t> index = parseCount(detail)) {
    link.via = Link::Via::Element;
    link.index = *index;
  } else {
    link.via = holderIsClass ? Link::Via::Static : Link::Via::Field;
    link.name = detail;
  }
  return link;
}

std::string linkText(const Link& link) {
  switch (link.via) {
    case Link::Via::Static:
      return "static " + printable(link.name);
    case Link::Via::Field:
      return "field " + printable(link.name);
    case Link::Via::Element:
      return "element [" + std::to_string(link.index) + "]";
    case Link::Via::Local:
      return "local in " + printable(link.name) + "()";
  }
  return {};
}

void addLinkJson(JsonObject& record, const Link& link) {
  switch (link.via) {
    case Link::Via::Static:
      record.add("via", "static").add("field", link.name);
      break;
    case Link::Via::Field:
      record.add("via", "field").add("field", link.name);
      break;
    case Link::Via::Element:
      record.add("via", "element").add("index", int64_t{link.index});
      break;
    case Link::Via::Local:
      record.add("via", "local").add("method", link.name);
      break;
  }
}

namespace {

bool fits(const Link& link, char holderKind, bool holderIsRoot) {
  if (holderIsRoot) return link.via == (holderKind == 'C' ? Link::Via::Static : Link::Via::Local);
  return link.via != Link::Via::Local;  // a thread inside a path holds through its fields
}

}  // namespace

std::vector<Link> linksBetween(Session& session, uint32_t holder, uint32_t next,
                               bool holderIsRoot) {
  const char holderKind = kindOf(session.vm(), holder);
  std::vector<Link> links;
  auto take = [&](const simvm::Record& r, bool holderIsClass) {
    if (std::optional<Link> link = linkFromDetail(r.detail, holderIsClass))
      if (fits(*link, holderKind, holderIsRoot)) links.push_back(*link);
  };
  if (session.library().stub("getReferences0")) {
    for (const simvm::Record& r : session.caller().references(holder).records)
      if (r.handle == next) take(r, holderKind == 'C');
  }
  if (links.empty() && session.library().stub("getBackTraceReferences0")) {
    for (const simvm::Record& r : session.caller().referrers(next).records)
      if (r.handle == holder) take(r, r.kind == 'C');
  }
  return links;
}

}  // namespace cli
