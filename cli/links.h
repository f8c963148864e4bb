// How one object holds another: a field, a static field, an array element or a local
// variable of a thread's frame, as reference records name them.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/format.h"
#include "cli/session.h"

namespace cli {

struct Link {
  enum class Via { Field, Static, Element, Local };
  Via via = Via::Field;
  std::string name;  // field or method name (without "()")
  int32_t index = -1;
};

// The link a reference record's detail describes: "run()" a local of that method, a number an
// element index, another name a field (a static one when the holder is a class object).
// Nullopt for an empty detail.
std::optional<Link> linkFromDetail(const std::string& detail, bool holderIsClass);

// "static sessions", "field value", "element [3]", "local in sweep()".
std::string linkText(const Link& link);
void addLinkJson(JsonObject& record, const Link& link);

// How `holder` holds `next`, one step of a path to a root. A root class holds through static
// fields, a root thread through its frames, any other holder through fields or elements.
// The links are those of the library's reports: the references of the holder, or failing that
// (they list no field that holds an array of arrays) the referrers of `next`. Empty when neither
// query is available. They are read from the VM's memory (elements, fields, statics) where
// that gives what the records would: only a thread's frames are asked of the library.
std::vector<Link> linksBetween(Session& session, uint32_t holder, uint32_t next, bool holderIsRoot);

}  // namespace cli
