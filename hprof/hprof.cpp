#include "hprof/hprof.h"

#include "hprof/layout.h"
#include "hprof/reader.h"
#include "hprof/records.h"

namespace simvm {
namespace {

// Messages may quote names and bytes from the file: control characters, C1 controls and bytes
// that are no valid UTF-8 are written as \xNN, so that nothing from the file reaches a terminal
// as a control sequence or a line break.
std::string printable(const std::string& s) {
  std::string out;
  auto escape = [&](unsigned char c) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  };
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    size_t n = c >= 0xF0 && c < 0xF5   ? 4
               : c >= 0xE0 && c < 0xF0 ? 3
               : c >= 0xC2 && c < 0xE0 ? 2
                                       : 0;
    uint32_t cp = n == 4 ? c & 7 : n == 3 ? c & 15 : c & 31;
    for (size_t k = 1; k < n; ++k) {
      const unsigned char d = i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
      if ((d & 0xC0) != 0x80) {
        n = 0;
        break;
      }
      cp = cp << 6 | (d & 0x3F);
    }
    const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    if (n == 0 || overlong || cp < 0xA0 || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
      escape(c);
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  return out;
}

}  // namespace

HprofError::HprofError(const std::string& what, uint64_t offset)
    : VmError(printable(what) + " (at byte " + std::to_string(offset) + ")"), offset(offset) {}

const char* rootKindName(RootKind kind) {
  switch (kind) {
    case RootKind::kJniGlobal:
      return "JNI global";
    case RootKind::kJniLocal:
      return "JNI local";
    case RootKind::kNativeStack:
      return "native stack";
    case RootKind::kSystemClass:
      return "system class";
    case RootKind::kThreadBlock:
      return "thread block";
    case RootKind::kMonitorUsed:
      return "monitor used";
    case RootKind::kThreadObject:
      return "thread object";
    case RootKind::kUnknown:
      return "unknown";
    case RootKind::kJavaFrame:
      return "Java frame";
  }
  return "unknown";
}

std::unique_ptr<LoadedHeap> loadHprof(const std::string& path, const HprofOptions& options) {
  hprof::Reader in(path, options.maxStreamBytes);
  if (options.progress) in.onProgress(options.progress);
  hprof::Model model = hprof::readModel(in);
  std::unique_ptr<LoadedHeap> heap;
  try {
    heap = hprof::layOutHeap(model, options);
  } catch (const HprofError& e) {
    if (model.skipped.empty()) throw;
    // What is missing may have been in a record whose tag was damaged: say that it was skipped.
    std::string what = e.what();
    const std::string at = " (at byte " + std::to_string(e.offset) + ")";
    if (what.size() >= at.size() && what.compare(what.size() - at.size(), at.size(), at) == 0)
      what.resize(what.size() - at.size());
    uint64_t records = 0, bytes = 0;
    for (const SkippedRecords& k : model.skipped) {
      records += k.count;
      bytes += k.bytes;
    }
    throw HprofError(what + "; " + std::to_string(records) + " top-level record" +
                         (records == 1 ? " of a tag the reader does not know was"
                                       : "s of tags the reader does not know were") +
                         " skipped (" + std::to_string(bytes) + " bytes) and may have held it",
                     e.offset);
  }
  if (options.progress) options.progress(model.streamBytes, in.totalSize());
  return heap;
}

}  // namespace simvm
