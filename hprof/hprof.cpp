#include "hprof/hprof.h"

#include "hprof/layout.h"
#include "hprof/reader.h"
#include "hprof/records.h"

namespace simvm {

HprofError::HprofError(const std::string& what, uint64_t offset)
    : VmError(what + " (at byte " + std::to_string(offset) + ")"), offset(offset) {}

std::unique_ptr<LoadedHeap> loadHprof(const std::string& path, const HprofOptions& options) {
  hprof::Reader in(path);
  if (options.progress) in.onProgress(options.progress);
  hprof::Model model = hprof::readModel(in);
  auto heap = hprof::layOutHeap(model, options);
  if (options.progress) options.progress(model.streamBytes, in.totalSize());
  return heap;
}

}  // namespace simvm
