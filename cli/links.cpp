#include "cli/links.h"

#include <algorithm>
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

}  // namespace

LinkReader::LinkReader(Session& session)
    : session_(session),
      references_(session.library().stub("getReferences0") != nullptr),
      referrers_(session.library().stub("getBackTraceReferences0") != nullptr),
      threadClass_(session.vm().findClass("java/lang/Thread")) {}

LinkReader::ClassFacts& LinkReader::facts(uint32_t cls) {
  auto [it, added] = classes_.try_emplace(cls);
  if (added) it->second.named = kindOf(session_.vm(), cls) == 'C';
  return it->second;
}

// The names of the reference fields through which `holder` holds `next` (a class object's
// statics, any other object's instance fields along its class chain), in name order, read from
// the VM's memory: what the referrers of `next` would name of the holder, without walking the
// heap for them. Nullopt when the VM does not describe the holder's class.
std::optional<std::vector<std::string>> LinkReader::fieldsHolding(uint32_t holder, uint32_t next,
                                                                  bool statics) {
  const simvm::Vm& vm = session_.vm();
  auto isReference = [](const simvm::FieldDecl& f) {
    return !f.signature.empty() && (f.signature[0] == 'L' || f.signature[0] == '[');
  };
  try {
    std::vector<std::string> names;
    if (statics) {
      for (const simvm::FieldDecl& f : vm.fieldsOf(holder))
        if (f.isStatic && isReference(f) && f.staticValue == next) names.push_back(f.name);
    } else {
      const uint32_t body = vm.bodyOf(holder);
      if (body == 0) return std::nullopt;
      const uint32_t cls = vm.classOfObject(holder);
      ClassFacts& known = facts(cls);
      if (!known.fieldsRead) {
        known.fieldsRead = true;
        try {
          std::vector<std::pair<std::string, uint32_t>> fields;
          int depth = 0;  // a chain longer than any the VM builds is damaged
          bool whole = true;
          for (uint32_t c = cls; c != 0; c = vm.superclassOf(c)) {
            if (++depth > 1024) {
              whole = false;
              break;
            }
            for (const simvm::FieldDecl& f : vm.fieldsOf(c))
              if (!f.isStatic && isReference(f))
                fields.emplace_back(f.name, vm.fieldOffset(c, f.name));
          }
          if (whole) known.fields = std::move(fields);
        } catch (const simvm::VmError&) {
        }
      }
      if (!known.fields) return std::nullopt;
      for (const auto& [name, offset] : *known.fields)  // names are unique within a class
        if (vm.read32(body + offset) == next) names.push_back(name);
    }
    std::sort(names.begin(), names.end());  // byte order, as the records are sorted
    return names;
  } catch (const simvm::VmError&) {
    return std::nullopt;
  }
}

// The links are those of the library's two reports. The references of the holder name `next`
// once for each field, element or frame slot holding it, as long as `next` is something a
// record names and (for a field) no array of arrays; failing that, the referrers of `next` name
// the holder once for each field or element holding it, and a thread for each frame slot, as
// long as the holder is something a record names. Records give fields and frame slots in name
// order and elements in index order. Where that is cheap to read from the VM's memory (an
// array's elements, fields) it is read there: an array's references take a record through the
// stream for each element, the referrers a walk of the heap.
std::vector<Link> LinkReader::between(uint32_t holder, char holderKind, uint32_t next,
                                      char nextKind, bool holderIsRoot) {
  Session& session = session_;
  const simvm::Vm& vm = session.vm();
  // Whether a reference record can name h: a class object, or an object or object array whose
  // class word leads to a class. The library writes no record for anything else.
  auto recordsName = [&](uint32_t h, char kind) {
    if (kind == 'C') return true;
    if (kind != 'I' && kind != 'A') return false;
    const uint32_t cls = vm.classOfObject(h);
    return cls != 0 && facts(cls).named;
  };
  const bool holderNamed = recordsName(holder, holderKind);
  const bool nextNamed = recordsName(next, nextKind);
  // Whether any class in the chain of the holder is the Thread class the library finds by
  // name: its frames only the library reads.
  auto isThread = [&] {
    const uint32_t cls = vm.classOfObject(holder);
    ClassFacts& f = facts(cls);
    if (!f.threadKnown) {
      int depth = 0;
      for (uint32_t c = cls; c != 0 && !f.thread; c = vm.superclassOf(c))
        f.thread = ++depth > 1024 || c == threadClass_;
      f.threadKnown = true;
    }
    return f.thread;
  };
  std::vector<Link> links;
  auto keep = [&](const Link& link) {
    if (fits(link, holderKind, holderIsRoot)) links.push_back(link);
  };
  auto take = [&](const simvm::Record& r, bool holderIsClass) {
    if (std::optional<Link> link = linkFromDetail(r.detail, holderIsClass)) keep(*link);
  };
  auto keepFields = [&](const std::vector<std::string>& names) {
    for (const std::string& name : names)
      keep(Link{holderKind == 'C' ? Link::Via::Static : Link::Via::Field, name, -1});
  };
  std::optional<std::vector<int32_t>> elements;
  if (holderKind == 'A') elements = elementsHolding(vm, holder, next);

  if (references_) {
    // A field lists no array of arrays.
    const bool fieldTarget =
        nextNamed && (nextKind != 'A' || reportedClassName(vm, next)[0] != '[');
    std::optional<std::vector<std::string>> names;
    if (holderNamed && (holderKind == 'C' || (holderKind == 'I' && !isThread())))
      names =
          fieldTarget ? fieldsHolding(holder, next, holderKind == 'C') : std::vector<std::string>{};
    if (holderKind == 'A' && elements) {
      if (nextNamed)
        for (int32_t i : *elements) keep(Link{Link::Via::Element, {}, i});
    } else if (names) {
      keepFields(*names);
    } else {
      for (const simvm::Record& r : session.caller().references(holder).records)
        if (r.handle == next) take(r, holderKind == 'C');
    }
  }
  if (!links.empty() || !referrers_) return links;

  // A thread that is a root holds through its frames, which only the library reads.
  if (holderNamed && !(holderKind == 'I' && holderIsRoot)) {
    if (holderKind == 'A' && elements) {
      for (int32_t i : *elements) keep(Link{Link::Via::Element, {}, i});
      return links;
    }
    if (holderKind == 'C' || holderKind == 'I') {
      if (const auto names = fieldsHolding(holder, next, holderKind == 'C')) {
        keepFields(*names);
        return links;
      }
    }
  }
  for (const simvm::Record& r : session.caller().referrers(next).records)
    if (r.handle == holder) take(r, r.kind == 'C');
  return links;
}

std::vector<Link> linksBetween(Session& session, uint32_t holder, uint32_t next,
                               bool holderIsRoot) {
  const simvm::Vm& vm = session.vm();
  return LinkReader(session).between(holder, kindOf(vm, holder), next, kindOf(vm, next),
                                     holderIsRoot);
}

}  // namespace cli
