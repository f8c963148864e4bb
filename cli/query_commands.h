// The commands that each run one query.
#pragma once
#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include "cli/commands.h"
#include "simvm/vm.h"

namespace cli {

// The least node limit of the path search when --max-nodes is not given.
constexpr int32_t kDefaultMaxNodes = 100000;
// The node limit when --max-nodes is not given: enough for the search to cover the whole heap.
int32_t defaultMaxNodes(const simvm::Vm& vm);

int runClasses(Context& ctx, const Invocation& inv, std::ostream& out);
int runInstances(Context& ctx, const Invocation& inv, std::ostream& out);
int runClassInfo(Context& ctx, const Invocation& inv, std::ostream& out);
int runInfo(Context& ctx, const Invocation& inv, std::ostream& out);
int runReferences(Context& ctx, const Invocation& inv, std::ostream& out);
int runReferrers(Context& ctx, const Invocation& inv, std::ostream& out);
int runPath(Context& ctx, const Invocation& inv, std::ostream& out);
int runThreads(Context& ctx, const Invocation& inv, std::ostream& out);
int runFields(Context& ctx, const Invocation& inv, std::ostream& out);
int runUsage(Context& ctx, const Invocation& inv, std::ostream& out);
int runMissing(Context& ctx, const Invocation& inv, std::ostream& out);

// The census beside the baseline's: per class the count and bytes in both heaps and the change,
// largest growth first; classes only one heap has are marked.
// usageBytes: the usage query's bytes by class name (none with --superclasses).
int presentCensusAgainst(Session& s, const Baseline& baseline, const simvm::Report& census,
                         const std::map<std::string, int64_t>& usageBytes,
                         const std::string& prefix, const Invocation& inv, std::ostream& out);

}  // namespace cli
