#include "cli/links.h"

#include <cstring>

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

// Whether a reference record can name h: a class object, or an object or object array whose
// class word leads to a class. The library writes no record for anything else.
bool recordsName(const simvm::Vm& vm, uint32_t h) {
  const char kind = kindOf(vm, h);
  if (kind == 'C') return true;
  if (kind != 'I' && kind != 'A') return false;
  const uint32_t cls = vm.classOfObject(h);
  return cls != 0 && kindOf(vm, cls) == 'C';
}

// The indices of the elements of `array` that hold `next`, lowest first, read straight from the
// VM's memory: what the library's references of the array would list for `next`, without a
// record written through the stream for each of its other elements (a table of 10^5 entries
// costs a tenth of a second that way, for one link). Nullopt when the body cannot be read whole.
std::optional<std::vector<int32_t>> elementsHolding(const simvm::Vm& vm, uint32_t array,
                                                    uint32_t next) {
  try {
    const uint32_t body = vm.bodyOf(array), length = vm.arrayLength(array);
    if (body == 0) return std::nullopt;
    std::vector<int32_t> at;
    if (length == 0) return at;
    vm.read32(body);  // both ends inside the region, or VmError
    vm.read32(body + 4 * (length - 1));
    const auto* words = static_cast<const unsigned char*>(vm.pointer(body));
    for (uint32_t i = 0; i < length; ++i) {
      uint32_t word;
      std::memcpy(&word, words + 4 * size_t{i}, 4);
      if (word == next) at.push_back(static_cast<int32_t>(i));
    }
    return at;
  } catch (const simvm::VmError&) {
    return std::nullopt;
  }
}

// The links the library's reports give: the references of the holder, or failing that the
// referrers of `next`.
std::vector<Link> reportedLinks(Session& session, uint32_t holder, uint32_t next,
                                char holderKind, bool holderIsRoot) {
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

}  // namespace

std::vector<Link> linksBetween(Session& session, uint32_t holder, uint32_t next,
                               bool holderIsRoot) {
  const char holderKind = kindOf(session.vm(), holder);
  // An object array holds through elements alone, which its references list in index order,
  // one record each: those that hold `next` are read here instead. A root is a class or a
  // thread, which no element link fits. Where the references would name nothing (`next` is a
  // primitive array, say), the referrers of `next` are asked, as below.
  if (holderKind == 'A' && session.library().stub("getReferences0") &&
      recordsName(session.vm(), next)) {
    if (holderIsRoot) return {};
    if (const std::optional<std::vector<int32_t>> at = elementsHolding(session.vm(), holder, next)) {
      std::vector<Link> links;
      for (int32_t i : *at) links.push_back(Link{Link::Via::Element, {}, i});
      if (!links.empty()) return links;
    }
  }
  return reportedLinks(session, holder, next, holderKind, holderIsRoot);
}

}  // namespace cli
