// What `path` answers where the library's search has none for the object asked about: a
// primitive array, a Reference object or an array of them, a class. A person still asks why it
// is alive, and the answer is what holds it: the search's path to a holder, then the link from
// the holder; for a class, the dump's root kind, or its class loader, or a holder.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/session.h"

namespace cli {

struct HeldAnswer {
  std::vector<uint32_t> handles;       // root first, the object asked about last
  std::optional<std::string> lastVia;  // how the row above holds the last, where no field says
  std::string lastViaJson;             // the same as --json names it ("loader")
  std::string why;                     // how the answer was found, one clause
};

// Nullopt when the object is none of those kinds, or nothing that holds it has a path; then
// cutShort says whether a search for a holder's path gave up at maxNodes.
std::optional<HeldAnswer> answerWithoutPath(Session& s, uint32_t target, int32_t maxNodes,
                                            bool& cutShort);

}  // namespace cli
