// How one object holds another: a field, a static field, an array element or a local
// variable of a thread's frame, as reference records name them.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
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

// linksBetween for many steps of one chain: what a class says of its fields and whether it is a
// thread is read once per class, and which queries the library offers once, not for every step.
// Only for a heap that does not change while it is used.
class LinkReader {
 public:
  explicit LinkReader(Session& session);
  // linksBetween(session, holder, next, holderIsRoot), the kinds of both already known.
  std::vector<Link> between(uint32_t holder, char holderKind, uint32_t next, char nextKind,
                            bool holderIsRoot);

 private:
  struct ClassFacts {
    bool threadKnown = false;
    bool thread = false;  // a Thread, or a chain too long to tell
    bool named = false;   // a class object: records name its instances
    bool fieldsRead = false;
    // The reference instance fields along the chain, in the order the chain gives them: name and
    // offset. Nullopt when the VM does not describe the chain.
    std::optional<std::vector<std::pair<std::string, uint32_t>>> fields;
  };
  ClassFacts& facts(uint32_t cls);
  std::optional<std::vector<std::string>> fieldsHolding(uint32_t holder, uint32_t next,
                                                        bool statics);

  Session& session_;
  bool references_, referrers_;
  uint32_t threadClass_;
  std::unordered_map<uint32_t, ClassFacts> classes_;
};

}  // namespace cli
