// The typed caller: fills a native method's argument slots, calls its stub as the VM would and
// turns what comes back into values.
#include "simvm/library.h"

namespace simvm {
namespace {

constexpr size_t kMinSlots = 4;  // room for the widest argument list

}  // namespace

Caller::Caller(Vm& vm, const Library& library) : vm_(vm), lib_(library) {}

int Caller::call(const std::string& method, std::vector<uint32_t>& slots) {
  const Stub stub = lib_.stub(method);
  if (!stub) throw VmError(lib_.path() + " has no " + Library::stubSymbol(method));
  if (slots.size() < kMinSlots) slots.resize(kMinSlots, 0);
  vm_.makeCurrent();  // the services act on the VM that made the call
  const uint32_t* returned = stub(slots.data(), nullptr);
  const ptrdiff_t index = returned - slots.data();
  if (index != 0 && index != 1)
    throw VmError(method + " returned a pointer " + std::to_string(index) +
                  " slots from its arguments (expected 0 or 1)");
  return static_cast<int>(index);
}

namespace {

void expectReturn(const std::string& method, int got, int want) {
  if (got != want)
    throw VmError(method + " returned slot " + std::to_string(got) + ", expected slot " +
                  std::to_string(want));
}

}  // namespace

namespace {

// A description: the string handle comes back in slot 0.
std::string describe(Caller& caller, Vm& vm, const char* method, uint32_t h) {
  std::vector<uint32_t> slots{h};
  expectReturn(method, caller.call(method, slots), 1);
  if (slots[0] == 0) throw VmError(std::string(method) + " gave a null result");
  return vm.stringValue(slots[0]);
}

}  // namespace

std::string Caller::classInfo(uint32_t h) {
  made_.clear();
  return describe(*this, vm_, "getClassInfo0", h);
}
std::string Caller::handleInfo(uint32_t h) {
  made_.clear();
  return describe(*this, vm_, "getHandleInfo0", h);
}

namespace {

// A list query: a fresh output stream in slot 0, the arguments after it.
std::string streamed(Caller& caller, Vm& vm, const char* method, std::vector<uint32_t> args,
                     std::vector<uint32_t>& made) {
  const uint32_t stream = vm.newOutputStream();
  made.push_back(stream);
  std::vector<uint32_t> slots{stream};
  slots.insert(slots.end(), args.begin(), args.end());
  expectReturn(method, caller.call(method, slots), 0);
  return vm.streamBytes(stream);
}

// A record splits on blanks, so a class name with a blank in it (legal in a class file) reads
// as a shorter name and a detail: the name is taken from the class the handle names (a class
// handle is itself or, in the census, its element class; an object's class otherwise).
Report named(const Vm& vm, Report r) {
  uint32_t lastClass = 0;  // a list holds many records of one class: its name is read once
  std::string lastName;
  for (Record& rec : r.records) {
    if (rec.detail.empty()) continue;  // the record's name is all it had after the handle
    try {
      const uint32_t c = vm.isClassHandle(rec.handle) ? rec.handle : vm.classOfObject(rec.handle);
      if (c != lastClass) {
        lastName = c ? vm.className(c) : std::string();
        lastClass = c;
      }
    } catch (const VmError&) {
      continue;  // not a handle of this VM: the record stays as written
    }
    const std::string& name = lastName;
    if (name.empty() || name == rec.className) continue;
    const std::string text = rec.detail.empty() ? rec.className : rec.className + " " + rec.detail;
    if (text.compare(0, name.size(), name) != 0 ||
        (text.size() > name.size() && text[name.size()] != ' '))
      continue;
    rec.className = name;
    rec.detail = text.size() > name.size() ? text.substr(name.size() + 1) : std::string();
  }
  return r;
}

}  // namespace

Report Caller::classes(const std::string& prefix, bool creditSuperclasses, bool sortByCount) {
  made_.clear();
  const uint32_t text = vm_.newString(prefix);
  made_ = {text, vm_.getField(text, "value")};
  return named(vm_, decodeReport(streamed(
                        *this, vm_, "getClasses0",
                        {text, creditSuperclasses ? 1u : 0u, sortByCount ? 1u : 0u}, made_)));
}

Report Caller::handles(uint32_t cls, bool includeSubclasses, int32_t arrays, NamedRecords wanted) {
  made_.clear();
  return named(
      vm_, decodeReport(
               streamed(*this, vm_, "getHandles0",
                        {cls, includeSubclasses ? 1u : 0u, static_cast<uint32_t>(arrays)}, made_),
               wanted));
}

Report Caller::references(uint32_t h) {
  made_.clear();
  return named(vm_, decodeReport(streamed(*this, vm_, "getReferences0", {h}, made_)));
}

Report Caller::referrers(uint32_t h) {
  made_.clear();
  return named(vm_, decodeReport(streamed(*this, vm_, "getBackTraceReferences0", {h}, made_)));
}

UsageReport Caller::usage(const std::string& prefix) {
  made_.clear();
  const uint32_t text = vm_.newString(prefix);
  made_ = {text, vm_.getField(text, "value")};
  return decodeUsageReport(streamed(*this, vm_, "getMemoryUsage0", {text}, made_));
}

PathResult Caller::path(uint32_t target, int32_t maxNodes) {
  made_.clear();
  const uint32_t messageOut = vm_.newObjectArray(vm_.stringClass(), 1);
  made_.push_back(messageOut);
  std::vector<uint32_t> slots{target, static_cast<uint32_t>(maxNodes), messageOut};
  expectReturn("findPathToRoot0", call("findPathToRoot0", slots), 1);
  PathResult result;
  result.array = slots[0];
  if (result.array != 0) {
    if (vm_.typeCodeOf(result.array) != kInt)
      throw VmError("findPathToRoot0 returned something other than an int array");
    const uint32_t length = vm_.arrayLength(result.array);
    for (uint32_t i = 0; i < length; ++i) result.handles.push_back(vm_.getElement(result.array, i));
  } else if (const uint32_t message = vm_.getElement(messageOut, 0)) {
    result.message = vm_.stringValue(message);
  }
  return result;
}

}  // namespace simvm
