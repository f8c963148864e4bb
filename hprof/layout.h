// Lays a heap dump read by readModel out in a new stand-in VM: classes, instances, arrays,
// strings, statics and threads with their frames.
#pragma once
#include <memory>

#include "hprof/hprof.h"
#include "hprof/records.h"

namespace simvm::hprof {

// The one message for a heap too large for a VM in this process, wherever it is found.
HprofError tooLargeForVm(uint64_t arenaBytes, uint64_t handles, uint64_t offset);

// Reads the objects' payloads from the model's image, which must stay in place until it returns.
std::unique_ptr<LoadedHeap> layOutHeap(Model& model, const HprofOptions& options);

}  // namespace simvm::hprof
