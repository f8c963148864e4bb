#include "cli/session.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "cli/dump_notes.h"
#include "cli/format.h"
#include "simvm/platform.h"

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

// The name after its package: "Session" for "com/acme/shop/Session".
std::string simpleName(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string slashForm(std::string name) {
  for (char& c : name)
    if (c == '.') c = '/';
  return name;
}

// The JVM writes a hidden class as "Name/0x1234"; the heap keeps it as "Name+0x1234".
std::optional<std::string> hiddenClassName(const std::string& name) {
  const size_t at = name.rfind("/0x");
  if (at == std::string::npos || at + 3 == name.size()) return std::nullopt;
  for (size_t i = at + 3; i < name.size(); ++i)
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return std::nullopt;
  return name.substr(0, at) + "+" + name.substr(at + 1);
}

// The JVM's descriptor spelling in the console's: "Ljava/lang/String;" is "java/lang/String",
// "[Lcom/acme/Foo;" is "com/acme/Foo[]", "[[I" is "int[][]". Other text is returned unchanged.
std::string fromDescriptor(const std::string& name) {
  size_t dims = 0;
  while (dims < name.size() && name[dims] == '[') ++dims;
  const std::string element = name.substr(dims);
  std::string base;
  if (element.size() > 2 && element.front() == 'L' && element.back() == ';')
    base = element.substr(1, element.size() - 2);
  else if (dims > 0 && element.size() == 1)
    for (int32_t code = simvm::kBoolean; code <= simvm::kLong; ++code)
      if (element[0] == simvm::primitiveLetter(code)) base = simvm::primitiveName(code);
  if (base.empty() || base.find_first_of("[;") != std::string::npos) return name;
  for (size_t i = 0; i < dims; ++i) base += "[]";
  return base;
}

// A nested class's Java simple name: "Customer" for "com/acme/Shop$Customer"; "" for a class
// that is not nested.
std::string nestedSimpleName(const std::string& name) {
  const std::string simple = simpleName(name);
  const size_t dollar = simple.find_last_of('$');
  if (dollar == std::string::npos || dollar + 1 == simple.size()) return "";
  return simple.substr(dollar + 1);
}

// Edits (insert, delete, replace) from a to b, or limit + 1 when that is more than limit.
size_t editDistance(const std::string& a, const std::string& b, size_t limit) {
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0], best = ++row[0];
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({up + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = up;
      best = std::min(best, row[j]);
    }
    if (best > limit) return limit + 1;
  }
  return row[b.size()];
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// A message that echoes a value the user gave (a file or folder name, which may be long or hold
// control bytes): each copy of it, raw or already escaped, quoted as errors quote input.
std::string echoQuoted(const std::string& message, const std::string& value) {
  const std::string escaped = printable(value);
  if (value.empty()) return printable(message);
  std::string out, plain;
  for (size_t at = 0; at < message.size();) {
    const std::string* form = message.compare(at, value.size(), value) == 0       ? &value
                              : message.compare(at, escaped.size(), escaped) == 0 ? &escaped
                                                                                  : nullptr;
    if (form) {
      out += printable(plain) + quoteInput(value);
      plain.clear();
      at += form->size();
    } else {
      plain += message[at++];
    }
  }
  return out + printable(plain);
}

}  // namespace

Session::Session(const GlobalOptions& options) {
  const std::string dir = options.lib.empty() ? simvm::Library::defaultDir() : options.lib;
  try {
    lib_ = std::make_unique<simvm::Library>(dir);
  } catch (const std::exception& e) {
    // The loader's message names the file (the folder and the name) before its reason.
    const std::string what = e.what();
    const size_t named = what.rfind(dir);
    const size_t reason = named == std::string::npos ? std::string::npos : what.find(": ", named);
    throw CliError("cannot load " + std::string(simvm::platform::libraryFileName()) + " from " +
                   quoteInput(dir) + ": " +
                   echoQuoted(reason == std::string::npos ? what : what.substr(reason + 2), dir) +
                   " (--lib DIR names the folder holding it)");
  }

  if (options.heap.empty()) {
    ownVm_ = std::make_unique<simvm::Vm>(demoHeapConfig(options.high));
    vm_ = ownVm_.get();
    demo_ = buildDemoHeap(*vm_);
  } else {
    simvm::HprofOptions ho;
    ho.high = options.high;
    ProgressLine progress{quoteInput(options.heap)};
    if (isatty(STDERR_FILENO))
      ho.progress = [&progress](uint64_t done, uint64_t total) { progress.update(done, total); };
    try {
      dump_ = simvm::loadHprof(options.heap, ho);
    } catch (const std::exception& e) {  // an HprofError says at which byte
      progress.clear();
      throw CliError(
          echoQuoted("cannot read heap dump " + options.heap + ": " + e.what(), options.heap));
    }
    progress.clear();
    vm_ = dump_->vm.get();
    if (dump_->danglingReferences > 0)
      std::fprintf(stderr,
                   "loaded %llu objects, %llu classes, %llu running threads; %llu %s to objects "
                   "missing from the dump (read as null)\n",
                   static_cast<unsigned long long>(dump_->objects),
                   static_cast<unsigned long long>(dump_->classes),
                   static_cast<unsigned long long>(dump_->threads),
                   static_cast<unsigned long long>(dump_->danglingReferences),
                   dump_->danglingReferences == 1 ? "reference" : "references");
    if (const std::optional<std::string> skipped = skippedRecordsNote(*dump_))
      std::fprintf(stderr, "%s\n", skipped->c_str());
  }
  vm_->makeCurrent();
  caller_ = std::make_unique<simvm::Caller>(*vm_, *lib_);
}

Session::Session(const Session& shared, ForWorker)
    : lib_(shared.lib_),
      dump_(shared.dump_),
      ownVm_(shared.ownVm_),
      vm_(shared.vm_),
      demo_(shared.demo_),
      caller_(std::make_unique<simvm::Caller>(*vm_, *lib_)),
      sharesVm_(true) {
  dominators_ = shared.dominators_;
}

Session::~Session() = default;

void Session::requireStub(const std::string& method, const std::string& command) const {
  if (!lib_->stub(method))
    throw CliError("'" + command + "' is not available in this library: " + lib_->path() +
                   " has no " + simvm::Library::stubSymbol(method));
}

bool looksLikeHandle(const std::string& text) {
  return !text.empty() && (text[0] == '$' || text[0] == '@' || text[0] == '-' ||
                           std::isdigit(static_cast<unsigned char>(text[0])));
}

namespace {

// "0x" + hex digits, "-" + decimal digits, or decimal digits: the spellings of a number.
bool looksNumeric(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t start = hex ? 2 : (!text.empty() && text[0] == '-' ? 1 : 0);
  if (start >= text.size()) return false;
  for (size_t i = start; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (hex ? !std::isxdigit(c) : !std::isdigit(c)) return false;
  }
  return true;
}

// The hex digits of "@1a2b" or "@0x1a2b".
std::string dumpIdDigits(const std::string& text) {
  std::string digits = text.substr(1);
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    digits.erase(0, 2);
  bool ok = !digits.empty() && digits.size() <= 16;
  for (char c : digits) ok = ok && std::isxdigit(static_cast<unsigned char>(c));
  if (!ok) throw UsageError("bad dump id " + quoteInput(text) + ": write @ and the id in hex");
  return digits;
}

size_t rowNumber(const std::string& text) {
  const std::optional<int32_t> row = parseCount(text.substr(1));
  if (!row || *row == 0)
    throw UsageError("bad row reference " + quoteInput(text) + ": rows are $1, $2, ...");
  return static_cast<size_t>(*row);
}

}  // namespace

void checkHandleSyntax(const std::string& text, bool inShell, bool haveDump) {
  if (!looksLikeHandle(text)) return;  // a class name, looked up once the heap is there
  if (text[0] == '$') {
    rowNumber(text);
    if (!inShell)
      throw UsageError(quoteInput(text) +
                       " names a row of the last result: rows exist in the shell "
                       "(tavolin shell)");
  } else if (text[0] == '@') {
    if (!haveDump)
      throw UsageError(quoteInput(text) +
                       " names an object of a heap dump: load one with --heap FILE");
    dumpIdDigits(text);
  } else if (looksNumeric(text)) {
    if (!parseHandleNumber(text))
      throw UsageError("bad handle " + quoteInput(text) +
                       ": handles are 32-bit: 0 to 4294967295 (0xffffffff), or -2147483648 to -1");
  } else {
    throw UsageError("bad handle " + quoteInput(text) +
                     ": give a number (decimal or 0x hex), @<dump id>, $<row> or a class name");
  }
}

uint32_t Session::resolveHandle(const std::string& text) const {
  checkHandleSyntax(text, true, dump_ != nullptr);
  if (text[0] == '$') {
    const size_t row = rowNumber(text);
    if (last_.empty())
      throw CliError(text + ": there is no earlier result to take rows from", CliError::NotFound);
    if (row > last_.size())
      throw CliError(text + ": the last result has " + std::to_string(last_.size()) + " row" +
                         (last_.size() == 1 ? "" : "s"),
                     CliError::NotFound);
    return last_[row - 1];
  }
  if (text[0] == '@') {
    const uint64_t id = std::strtoull(dumpIdDigits(text).c_str(), nullptr, 16);
    auto it = dump_->handleOfId.find(id);
    if (it == dump_->handleOfId.end())
      throw CliError("the dump has no object with id " + text, CliError::NotFound);
    return it->second;
  }
  return *parseHandleNumber(text);
}

uint32_t Session::resolveClass(const std::string& text) const {
  if (text.empty()) throw UsageError("a class name is empty");
  if (looksLikeHandle(text)) return resolveHandle(text);
  const ClassLookup found = lookUpClass(text);
  if (found.cls) return found.cls;
  throw CliError(found.why, CliError::NotFound);
}

uint32_t Session::resolveObject(const std::string& text) const {
  if (looksLikeHandle(text)) return resolveHandle(text);
  const ClassLookup found = lookUpClass(text);
  if (found.cls) return found.cls;
  // Whether a word names a class only the heap can tell: like an unknown class anywhere, a
  // failure of the command (1), not a wrong command line (2).
  if (found.known) throw CliError(found.why, CliError::NotFound);
  throw CliError("no class or handle " + quoteInput(text) +
                     ": give a class name, a number (decimal or 0x hex), @<dump id> or $<row>" +
                     found.hint,
                 CliError::NotFound);
}

Session::ClassLookup Session::lookUpClass(const std::string& text) const {
  ClassLookup r;
  // "X[][]": the dimensions apart, then X. The JVM's spellings are read as the console's.
  std::string base = fromDescriptor(text);
  if (const std::optional<std::string> hidden = hiddenClassName(slashForm(base))) base = *hidden;
  size_t dims = 0;
  while (base.size() > 2 && base.compare(base.size() - 2, 2, "[]") == 0) {
    base.resize(base.size() - 2);
    ++dims;
  }
  std::string element;  // X's name as the VM keeps it (a primitive's letter for arrays of one)
  for (int32_t code = simvm::kBoolean; dims > 0 && code <= simvm::kLong; ++code)
    if (base == simvm::primitiveName(code)) element = std::string(1, simvm::primitiveLetter(code));
  if (element.empty()) {
    uint32_t cls = vm_->findClass(base);
    if (!cls && base.find_first_of("./") == std::string::npos) {
      std::vector<uint32_t> same;
      for (uint32_t c : vm_->classes())
        if (simpleName(vm_->className(c)) == base) same.push_back(c);
      if (same.size() > 1) {
        r.known = true;
        r.why = quoteInput(base) + " is the simple name of " + std::to_string(same.size()) +
                " classes (" + printable(vm_->className(same[0])) + ", " +
                printable(vm_->className(same[1])) + (same.size() > 2 ? ", ..." : "") +
                "): give the full name";
        return r;
      }
      if (!same.empty()) cls = same[0];
    }
    if (!cls) {
      r.hint = nearMiss(base);
      r.why = "unknown class " + quoteInput(text) + r.hint;
      return r;
    }
    if (dims == 0) {
      r.cls = cls;
      return r;
    }
    r.element = cls;
    element = vm_->className(cls);
    if (element[0] != '[') element = "L" + element + ";";
  }
  const std::string arrayName = std::string(dims, '[') + element;
  r.cls = vm_->findClass(arrayName);
  r.known = true;
  if (!r.cls)
    r.why = "this heap has no class object for " + quoteInput(text) + " (" + arrayName + ")";
  return r;
}

std::string Session::nearMiss(const std::string& name) const {
  // Against simple names when a simple name was given, against whole names otherwise.
  const std::string wanted = slashForm(name);
  const bool simple = wanted.find('/') == std::string::npos;
  // A nested class's Java simple name ("Customer" for "Shop$Customer") is answered first.
  if (simple)
    for (uint32_t c : vm_->classes())
      if (const std::string cname = vm_->className(c);
          sameIgnoringCase(nestedSimpleName(cname), wanted))
        return " (did you mean " + printable(cname) + "?)";
  const size_t limit = std::min<size_t>(3, std::max<size_t>(1, wanted.size() / 4));
  size_t best = limit + 1;
  std::string bestName;
  for (uint32_t c : vm_->classes()) {
    const std::string cname = vm_->className(c);
    const std::string candidate = simple ? simpleName(cname) : cname;
    if (sameIgnoringCase(candidate, wanted)) return " (did you mean " + printable(cname) + "?)";
    const size_t d = editDistance(candidate, wanted, std::min(limit, best - 1));
    if (d < best) {
      best = d;
      bestName = cname;
    }
  }
  return bestName.empty() ? "" : " (did you mean " + printable(bestName) + "?)";
}

void Session::setLastHandles(std::vector<uint32_t> handles) {
  // A result without rows leaves the rows of the one before: $1 still means what it meant.
  if (!handles.empty()) last_ = std::move(handles);
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
