// Output streams (their bytes are kept beside the VM, keyed by the stream's handle) and the
// toString a Java program would see.
#include <cstdio>

#include "simvm/vm_state.h"

namespace simvm {
namespace {

std::string hexHandle(uint32_t h) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", h);
  return buf;
}

}  // namespace

uint64_t Vm::State::newStreamsEpoch() {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1) + 1;
}

uint32_t Vm::newOutputStream() {
  const auto lock = s_->hold();
  const uint32_t stream = newObject(s_->wk.byteStream);
  s_->streams[stream];
  return stream;
}

const std::string& Vm::streamBytes(uint32_t stream) const {
  const auto lock = s_->hold();
  auto it = s_->streams.find(stream);
  if (it == s_->streams.end()) throw VmError("streamBytes: not an output stream of this VM");
  return it->second.bytes;
}

void Vm::clearStream(uint32_t stream) {
  const auto lock = s_->hold();
  auto it = s_->streams.find(stream);
  if (it == s_->streams.end()) throw VmError("clearStream: not an output stream of this VM");
  std::lock_guard<State::OutputStream> writing(it->second);
  it->second.bytes.clear();
}

void Vm::setToString(uint32_t cls, std::function<std::optional<std::string>(uint32_t obj)> fn) {
  const auto lock = s_->hold();
  s_->requireClass(cls, "setToString");
  if (fn)
    s_->toStrings[cls] = std::move(fn);
  else
    s_->toStrings.erase(cls);
}

// What Object.toString gives: "<class>@<hex>", "class <name>" for a class object, and the JVM's
// array names ("[I", "[Ljava.lang.String;") for arrays.
std::string Vm::State::defaultToString(uint32_t obj) const {
  const uint32_t methods = get32(obj + 4);
  const int32_t type = typeCodeOfWord(methods);
  const std::string at = "@" + hexHandle(obj);
  if (type == kObjectArray) {
    const ClassRecord* element = record(classOf(obj));
    const std::string name = element ? dotted(element->name) : "java.lang.Object";
    return (name[0] == '[' ? "[" + name : "[L" + name + ";") + at;
  }
  if (type != kObject) {
    const char letter = primitiveLetter(type);
    return std::string("[") + (letter ? letter : '?') + at;
  }
  if (const ClassRecord* self = record(obj); self && classOf(obj) == wk.klass)
    return "class " + dotted(self->name);
  const ClassRecord* cls = record(classOf(obj));
  return (cls ? dotted(cls->name) : "java.lang.Object") + at;
}

const ToStringFn* Vm::State::toStringOverride(uint32_t obj) const {
  const bool array = typeCodeOfWord(get32(obj + 4)) != kObject;
  // Arrays inherit Object's toString; objects look up their own class chain.
  for (const ClassRecord* rec = record(array ? wk.object : classOf(obj)); rec;
       rec = record(rec->super)) {
    auto it = toStrings.find(rec->handle);
    if (it != toStrings.end()) return &it->second;
  }
  return nullptr;
}

}  // namespace simvm
