#include "cli/session.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "cli/format.h"

namespace cli {
namespace {

// "loading heap.hprof: 42%" on one line of the terminal, redrawn as the load goes on.
struct ProgressLine {
  std::string file;
  int lastShown = -1;
  void update(uint64_t done, uint64_t total) {
    const int now = total ? static_cast<int>(done * 100 / total) : static_cast<int>(done >> 20);
    if (now == lastShown) return;
    lastShown = now;
    if (total)
      std::fprintf(stderr, "\rloading %s: %d%%", file.c_str(), now);
    else
      std::fprintf(stderr, "\rloading %s: %d MB", file.c_str(), now);
    std::fflush(stderr);
  }
  void clear() {
    if (lastShown >= 0) std::fprintf(stderr, "\r\033[K");
  }
};

// "java.lang.String[]" -> "[Ljava/lang/String;", "int[][]" -> "[[I"; other names unchanged.
std::string arrayNameOf(std::string name) {
  std::string dims;
  while (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) {
    dims += '[';
    name.resize(name.size() - 2);
  }
  if (dims.empty()) return name;
  for (int32_t code = simvm::kBoolean; code <= simvm::kLong; ++code)
    if (name == simvm::primitiveName(code)) return dims + simvm::primitiveLetter(code);
  for (char& c : name)
    if (c == '.') c = '/';
  return dims + "L" + name + ";";
}

std::string lastPart(const std::string& name) {
  const size_t slash = name.find_last_of("/.$");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool looksLikeHandle(const std::string& text) {
  return !text.empty() && (text[0] == '$' || text[0] == '@' || text[0] == '-' ||
                           std::isdigit(static_cast<unsigned char>(text[0])));
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

Session::Session(const GlobalOptions& options) {
  const std::string dir = options.lib.empty() ? simvm::Library::defaultDir() : options.lib;
  try {
    lib_ = std::make_unique<simvm::Library>(dir);
  } catch (const std::exception& e) {
    throw CliError(std::string(e.what()) + " (--lib DIR names the folder holding libTavolin2.so)");
  }

  if (options.heap.empty()) {
    ownVm_ = std::make_unique<simvm::Vm>(demoHeapConfig(options.high));
    vm_ = ownVm_.get();
    demo_ = buildDemoHeap(*vm_);
  } else {
    simvm::HprofOptions ho;
    ho.high = options.high;
    ProgressLine progress{options.heap};
    if (isatty(STDERR_FILENO))
      ho.progress = [&progress](uint64_t done, uint64_t total) { progress.update(done, total); };
    try {
      dump_ = simvm::loadHprof(options.heap, ho);
    } catch (const simvm::HprofError& e) {
      progress.clear();
      throw CliError("cannot read heap dump " + options.heap + ": " + e.what());  // says where
    } catch (const std::exception& e) {
      progress.clear();
      throw CliError("cannot read heap dump " + options.heap + ": " + e.what());
    }
    progress.clear();
    vm_ = dump_->vm.get();
    if (dump_->danglingReferences > 0)
      std::fprintf(stderr,
                   "loaded %llu objects, %llu classes, %llu threads; %llu references to objects "
                   "missing from the dump (read as null)\n",
                   static_cast<unsigned long long>(dump_->objects),
                   static_cast<unsigned long long>(dump_->classes),
                   static_cast<unsigned long long>(dump_->threads),
                   static_cast<unsigned long long>(dump_->danglingReferences));
  }
  vm_->makeCurrent();
  caller_ = std::make_unique<simvm::Caller>(*vm_, *lib_);
}

Session::~Session() = default;

void Session::requireStub(const std::string& method, const std::string& command) const {
  if (!lib_->stub(method))
    throw CliError("'" + command + "' is not available in this library: " + lib_->path() +
                   " has no " + simvm::Library::stubSymbol(method));
}

uint32_t Session::resolveHandle(const std::string& text) const {
  if (!text.empty() && text[0] == '$') {
    const std::optional<int32_t> row = parseCount(text.substr(1));
    if (!row || *row == 0)
      throw UsageError("bad row reference '" + text + "': rows are $1, $2, ...");
    if (last_.empty()) throw CliError(text + ": there is no earlier result to take rows from");
    if (static_cast<size_t>(*row) > last_.size())
      throw CliError(text + ": the last result has " + std::to_string(last_.size()) + " row" +
                     (last_.size() == 1 ? "" : "s"));
    return last_[static_cast<size_t>(*row) - 1];
  }
  if (!text.empty() && text[0] == '@') {
    if (!dump_)
      throw UsageError("'" + text + "' names an object of a heap dump: load one with --heap FILE");
    std::string digits = text.substr(1);
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
      digits.erase(0, 2);
    bool ok = !digits.empty() && digits.size() <= 16;
    for (char c : digits) ok = ok && std::isxdigit(static_cast<unsigned char>(c));
    if (!ok) throw UsageError("bad dump id '" + text + "': write @ and the id in hex");
    const uint64_t id = std::strtoull(digits.c_str(), nullptr, 16);
    auto it = dump_->handleOfId.find(id);
    if (it == dump_->handleOfId.end()) throw CliError("the dump has no object with id " + text);
    return it->second;
  }
  if (std::optional<uint32_t> h = parseHandleNumber(text)) return *h;
  throw UsageError("bad handle '" + text +
                   "': give a number (decimal or 0x hex), @<dump id> or $<row>");
}

uint32_t Session::resolveClass(const std::string& text) const {
  if (text.empty()) throw UsageError("a class name is empty");
  if (looksLikeHandle(text)) return resolveHandle(text);
  if (uint32_t c = vm_->findClass(arrayNameOf(text))) return c;
  std::string hint;
  for (uint32_t c : vm_->classes()) {
    const std::string name = vm_->className(c);
    if (sameIgnoringCase(lastPart(name), lastPart(text))) {
      hint = " (did you mean " + name + "?)";
      break;
    }
  }
  throw CliError("unknown class '" + text + "'" + hint);
}

uint32_t Session::resolveObject(const std::string& text) const {
  if (looksLikeHandle(text)) return resolveHandle(text);
  if (uint32_t c = vm_->findClass(arrayNameOf(text))) return c;
  throw UsageError("bad handle '" + text +
                   "': give a number (decimal or 0x hex), @<dump id>, $<row> or a class name");
}

std::optional<uint64_t> Session::dumpId(uint32_t h) const {
  if (!dump_) return std::nullopt;
  auto it = dump_->idOfHandle.find(h);
  if (it == dump_->idOfHandle.end()) return std::nullopt;
  return it->second;
}

char kindOf(const simvm::Vm& vm, uint32_t h) {
  if (h == 0) return 0;
  try {
    if (vm.bodyOf(h) == 0) return 0;
    if (vm.isClassHandle(h)) return 'C';
    switch (vm.typeCodeOf(h)) {
      case simvm::kObject:
        return 'I';
      case simvm::kObjectArray:
        return 'A';
      default:
        return 'P';
    }
  } catch (const simvm::VmError&) {
    return 0;  // not a handle of this VM
  }
}

std::string reportedClassName(const simvm::Vm& vm, uint32_t h) {
  switch (kindOf(vm, h)) {
    case 'C':
      return vm.className(h);
    case 'I':
    case 'A': {
      const uint32_t c = vm.classOfObject(h);
      return c ? vm.className(c) : std::string();
    }
    case 'P': {
      const char letter = simvm::primitiveLetter(vm.typeCodeOf(h));
      return letter ? std::string("[") + letter : std::string();
    }
    default:
      return std::string();
  }
}

}  // namespace cli
