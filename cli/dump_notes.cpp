#include "cli/dump_notes.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <unordered_set>

#include "cli/format.h"
#include "cli/present.h"
#include "simvm/vm.h"

namespace cli {
namespace {

std::string threadName(simvm::Vm& vm, uint32_t thread) {
  try {
    return vm.stringValue(vm.getField(thread, "name"));
  } catch (const std::exception&) {
    return "";
  }
}

// "[B" -> "byte[]", "[Ljava/lang/Object;" -> "java.lang.Object[]".
std::string javaName(const std::string& descriptor) {
  size_t dims = 0;
  while (dims < descriptor.size() && descriptor[dims] == '[') ++dims;
  std::string element = descriptor.substr(dims);
  if (element.size() == 1) {
    for (int32_t code = simvm::kBoolean; code <= simvm::kLong; ++code)
      if (simvm::primitiveLetter(code) == element[0]) element = simvm::primitiveName(code);
  } else if (element.size() > 2 && element[0] == 'L' && element.back() == ';') {
    element = element.substr(1, element.size() - 2);
  }
  std::replace(element.begin(), element.end(), '/', '.');
  for (size_t i = 0; i < dims; ++i) element += "[]";
  return element;
}

// "java.lang.Object[]" or "[Ljava/lang/Object;" -> "java.lang.Object[]"; "" when not an array.
std::string arrayText(const std::string& text) {
  if (!text.empty() && text[0] == '[') return javaName(text);
  if (text.size() > 2 && text.compare(text.size() - 2, 2, "[]") == 0) {
    std::string t = text;
    std::replace(t.begin(), t.end(), '/', '.');
    return t;
  }
  return "";
}

// The arrays of the VM whose Java name is `name` ("int[]", "java.lang.String[][]"), counted
// slot by slot: for a heap that is no dump, whose importer counted them already.
simvm::LoadedHeap::ArrayTally tallyArrays(const simvm::Vm& vm, const std::string& name) {
  simvm::LoadedHeap::ArrayTally tally;
  for (uint32_t h = vm.tableFirst(); h < vm.tableEnd(); h += 8) {
    const char kind = kindOf(vm, h);
    if (kind != 'P' && kind != 'A') continue;
    const std::string element = reportedClassName(vm, h);  // "[I" for both int[] and int[][]
    if (element.empty() || element[0] != '[') continue;
    if (javaName(kind == 'P' ? element : "[" + element) != name) continue;
    ++tally.count;
    tally.bytes += uint64_t{vm.arrayLength(h)} *
                   (kind == 'A' ? 4 : elementBytes(simvm::primitiveLetter(vm.typeCodeOf(h))));
  }
  return tally;
}

// The bounds of the backward look for a Reference holder: levels and referrer queries (each
// query walks the heap).
constexpr size_t kHolderLevels = 4;
constexpr size_t kHolderQueries = 64;

}  // namespace

uint32_t elementBytes(char letter) {
  switch (letter) {
    case 'Z':
    case 'B':
      return 1;
    case 'C':
    case 'S':
      return 2;
    case 'J':
    case 'D':
      return 8;
    default:
      return 4;
  }
}

bool isReferenceObject(simvm::Vm& vm, uint32_t h) {
  if (vm.isClassHandle(h)) return false;
  if (vm.typeCodeOf(h) != simvm::kObject && vm.typeCodeOf(h) != simvm::kObjectArray) return false;
  for (uint32_t c = vm.classOfObject(h); c != 0; c = vm.superclassOf(c))
    if (c == vm.referenceClass()) return true;
  return false;
}

std::optional<std::string> dumpRootLabel(Session& s, const std::vector<uint32_t>& path) {
  const simvm::LoadedHeap* dump = s.dump();
  if (!dump || path.empty()) return std::nullopt;
  simvm::RootKind kind;
  if (!dump->rootKindOf(path[0], kind)) return std::nullopt;
  std::string label = std::string("root: ") + simvm::rootKindName(kind);
  if (kind == simvm::RootKind::kSystemClass && s.vm().isClassHandle(path[0])) {
    label += " " + printable(s.vm().className(path[0]));
  } else if (kind == simvm::RootKind::kThreadObject && path.size() > 1) {
    const std::string name = threadName(s.vm(), path[1]);
    label += " " + (name.empty() ? hexHandle(path[1]) : printable(name));
  }
  return label;
}

std::optional<std::string> referenceHolderNote(Session& s, uint32_t target) {
  simvm::Vm& vm = s.vm();
  std::deque<std::pair<uint32_t, size_t>> queue{{target, 0}};
  std::unordered_set<uint32_t> seen{target};
  size_t queries = 0;
  while (!queue.empty() && queries < kHolderQueries) {
    const auto [h, level] = queue.front();
    queue.pop_front();
    const auto scope = s.callScope();
    const simvm::Report r = s.caller().referrers(h);
    ++queries;
    for (const simvm::Record& rec : r.records) {
      if (rec.kind == 'I' && isReferenceObject(vm, rec.handle)) {
        std::string line = "held through field '" + printable(rec.detail) + "' of " +
                           describeHandle(s, rec.handle) +
                           ", a Reference object, which paths do not pass through";
        if (h != target) line += " (via " + describeHandle(s, h) + ")";
        return line;
      }
      if (level + 1 < kHolderLevels && seen.insert(rec.handle).second)
        queue.emplace_back(rec.handle, level + 1);
    }
  }
  return std::nullopt;
}

std::optional<ArrayClassNote> arrayClassNote(Session& s, const std::string& classText) {
  const std::string name = arrayText(classText);
  if (name.empty()) return std::nullopt;
  if (const simvm::LoadedHeap* dump = s.dump()) {
    for (const auto& [arrayName, tally] : dump->unlistedArrays)
      if (arrayName == name)
        return ArrayClassNote{
            name, tally,
            name + ": the dump holds " + std::to_string(tally.count) + " (" +
                std::to_string(tally.bytes) +
                " bytes of elements); the queries do not list primitive arrays or arrays of "
                "arrays"};
  }
  const std::string element = name.substr(0, name.size() - 2);
  const std::string base = element.substr(0, element.find('['));
  bool primitive = false;
  for (int32_t code = simvm::kBoolean; code <= simvm::kLong; ++code)
    primitive = primitive || base == simvm::primitiveName(code);
  if (!primitive && element.find("[]") == std::string::npos)
    return std::nullopt;  // arrays of a class: `instances` lists them
  const std::string unlisted =
      primitive ? "primitive arrays or arrays of arrays" : "arrays of arrays";
  if (s.dump())
    return ArrayClassNote{name, std::nullopt,
                          name + ": none in this heap; the queries do not list " + unlisted};
  const simvm::LoadedHeap::ArrayTally tally = tallyArrays(s.vm(), name);
  return ArrayClassNote{name, tally,
                        name + ": the heap holds " + std::to_string(tally.count) + " (" +
                            std::to_string(tally.bytes) +
                            " bytes of elements); the queries do not list " + unlisted};
}

std::optional<std::string> primitiveArrayNote(Session& s, uint32_t h) {
  if (kindOf(s.vm(), h) != 'P') return std::nullopt;
  const char* type = simvm::primitiveName(s.vm().typeCodeOf(h));
  const std::string name = std::string(type ? type : "primitive") + "[]";
  return describeHandle(s, h) + (name[0] == 'i' ? " is an " : " is a ") + name + " of " +
         plural(s.vm().arrayLength(h), "element", "elements") +
         "; the queries describe only objects, object arrays and classes";
}

std::optional<std::string> skippedRecordsNote(const simvm::LoadedHeap& dump) {
  if (dump.skippedRecords.empty()) return std::nullopt;
  uint64_t records = 0;
  std::string tags;
  for (const simvm::SkippedRecords& k : dump.skippedRecords) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%02x", k.tag);
    records += k.count;
    tags += (tags.empty() ? "" : "; ") + std::string("tag ") + tag + ": " +
            std::to_string(k.count) + (k.count == 1 ? " record, " : " records, ") +
            std::to_string(k.bytes) + (k.bytes == 1 ? " byte" : " bytes");
  }
  return std::to_string(records) + (records == 1 ? " top-level record" : " top-level records") +
         " of the dump " + (records == 1 ? "was" : "were") +
         " skipped, the reader not knowing the tag (" + tags + "): what they held is not loaded";
}

void dropCallObjects(Session& s, simvm::Report& r) {
  const std::vector<uint32_t>& made = s.caller().callObjects();
  if (made.empty()) return;
  r.records.erase(std::remove_if(r.records.begin(), r.records.end(),
                                 [&](const simvm::Record& rec) {
                                   return std::find(made.begin(), made.end(), rec.handle) !=
                                          made.end();
                                 }),
                  r.records.end());
  r.count = static_cast<int32_t>(r.records.size());
}

}  // namespace cli
