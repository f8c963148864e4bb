#include "cli/dump_notes.h"

#include <algorithm>
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

// The bounds of the backward look for a Reference holder: levels and referrer queries (each
// query walks the heap).
constexpr size_t kHolderLevels = 4;
constexpr size_t kHolderQueries = 64;

}  // namespace

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

std::optional<std::string> arrayClassNote(Session& s, const std::string& classText) {
  const std::string name = arrayText(classText);
  if (name.empty()) return std::nullopt;
  if (const simvm::LoadedHeap* dump = s.dump()) {
    for (const auto& [arrayName, tally] : dump->unlistedArrays)
      if (arrayName == name)
        return name + ": the dump holds " + std::to_string(tally.count) + " (" +
               std::to_string(tally.bytes) +
               " bytes of elements); the queries do not list primitive arrays or arrays of "
               "arrays";
  }
  const std::string element = name.substr(0, name.size() - 2);
  const std::string base = element.substr(0, element.find('['));
  for (int32_t code = simvm::kBoolean; code <= simvm::kLong; ++code)
    if (base == simvm::primitiveName(code))
      return name + ": none in this heap; the queries do not list primitive arrays or arrays "
                    "of arrays";
  if (element.find("[]") != std::string::npos)
    return name + ": none in this heap; the queries do not list arrays of arrays";
  return std::nullopt;  // arrays of a class: `instances` lists them
}

std::optional<std::string> primitiveArrayNote(Session& s, uint32_t h) {
  if (kindOf(s.vm(), h) != 'P') return std::nullopt;
  const char* type = simvm::primitiveName(s.vm().typeCodeOf(h));
  return describeHandle(s, h) + " is a " + std::string(type ? type : "primitive") + "[] of " +
         std::to_string(s.vm().arrayLength(h)) +
         " elements; the queries describe only objects, object arrays and classes";
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
