// Lays a heap dump read by readModel out in a new stand-in VM: classes, instances, arrays,
// strings, statics and threads with their frames.
#pragma once
#include <memory>

#include "hprof/hprof.h"
#include "hprof/records.h"

namespace simvm::hprof {

// Consumes the model (its payload is rewritten in place while references are resolved).
std::unique_ptr<LoadedHeap> layOutHeap(Model& model, const HprofOptions& options);

}  // namespace simvm::hprof
