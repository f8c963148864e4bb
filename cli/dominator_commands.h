// Retained sizes in the console: the `dominators` and `retained` commands, and the retained
// column the other commands add (instances, classes --retained, path).
#pragma once
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "cli/commands.h"
#include "cli/format.h"
#include "cli/session.h"

namespace cli {

// The rows dominators lists without --limit.
constexpr size_t kDefaultDominatorRows = 20;

int runDominators(Context& ctx, const Invocation& inv, std::ostream& out);
int runRetained(Context& ctx, const Invocation& inv, std::ostream& out);

// A handle's retained size; none when no root reaches it.
std::optional<uint64_t> retainedOf(Session& s, uint32_t h);
// The same as a table cell ("-" for none) and as a JSON member ("retained": bytes, or null).
std::string retainedCell(Session& s, uint32_t h);
void addRetainedJson(Session& s, uint32_t h, JsonObject& o);

}  // namespace cli
