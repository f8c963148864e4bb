// referrers --grouped: a long list of referrers is mostly rows alike but for their holder (the
// 312 ArrayLists holding one object through elementData). Rows that differ only in the holder
// object, and an element's index, make one group with their count.
#pragma once
#include <cstddef>
#include <ostream>
#include <vector>

#include "cli/present.h"

namespace cli {

struct ReferrerGroup {
  size_t first = 0;  // the index of its first record: the group's example
  size_t count = 0;  // its records
};

// The groups of a referrers report, the largest first, then in the order of their first records
// (so a list without two rows alike keeps its order).
std::vector<ReferrerGroup> groupReferrers(const simvm::Report& report);

// Writes the groups as a table or JSON: each its holder kind and class, how it holds, its count
// and its example holder (with an element's index when the group is one row). Records the
// examples for $1, $2, ...
int presentReferrerGroups(Session& s, const simvm::Report& report, const ReportView& view,
                          OutputMode mode, std::ostream& out);

}  // namespace cli
