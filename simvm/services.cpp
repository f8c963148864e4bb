// The seven services the library calls back into. They act on Vm::current(), never throw, and
// answer 0 or null for anything they cannot do, as a VM would rather than crash.
#include <cstdarg>
#include <cstddef>
#include <utility>

#include "simvm/platform.h"
#include "simvm/vm_state.h"

namespace simvm {
namespace {

template <typename T, typename F>
T guarded(T fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

// Whether text (may be null) is the literal `expected`. Compared here, byte by byte, rather than
// by a call to strcmp: the library writes its reports through write(int), one call per byte.
// Stops at the first byte that differs, so it never reads past the end of a shorter text.
template <size_t N, size_t... I>
bool sameBytes(const char* text, const char (&expected)[N], std::index_sequence<I...>) {
  return ((text[I] == expected[I]) && ...);  // unrolled, and it stops at the first difference
}
template <size_t N>
bool is(const char* text, const char (&expected)[N]) {
  return text && sameBytes(text, expected, std::make_index_sequence<N>{});
}

// The stream this thread last wrote to, so that its next byte takes neither the VM's lock nor a
// look-up: good while the VM is the same and its streamsEpoch holds the value read then.
struct LastStream {
  const Vm::State* state = nullptr;
  uint64_t epoch = 0;
  uint32_t handle = 0;
  Vm::State::OutputStream* stream = nullptr;
};
thread_local LastStream lastStream;

}  // namespace

void linkServices() { platform::linkServices(); }

int32_t platform::staticMethodV(void*, uint32_t cls, const char* method, const char* signature,
                                va_list) {
  Vm* vm = Vm::current();
  return vm ? vm->serviceStaticMethod(cls, method, signature) : 0;
}

int32_t platform::dynamicMethodV(void*, uint32_t obj, const char* method, const char* signature,
                                 va_list args) {
  Vm* vm = currentVm.load();
  if (!vm) return 0;
  // Only write(int) takes an argument; reading one that was not passed is undefined. The names
  // are compared every time, not remembered by address: a caller may build them anywhere.
  if (!is(method, "write") || !is(signature, "(I)V"))
    return vm->serviceDynamicMethod(obj, method, signature, 0);
  return vm->serviceWrite(obj, va_arg(args, int32_t));
}

uint32_t Vm::serviceFindClass(const char* name) {
  return guarded<uint32_t>(0, [&]() -> uint32_t {
    const auto lock = s_->hold();
    if (!name) return 0;
    auto it = s_->classByName.find(name);
    return it == s_->classByName.end() ? 0 : it->second;
  });
}

int32_t Vm::serviceStaticMethod(uint32_t, const char* method, const char* signature) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    const auto lock = s_->hold();
    if (is(method, "currentThread") && is(signature, "()Ljava/lang/Thread;"))
      return static_cast<int32_t>(currentThread());
    return 0;
  });
}

int32_t Vm::serviceDynamicMethod(uint32_t obj, const char* method, const char* signature,
                                 int32_t intArgument) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    State& s = *s_;
    std::unique_lock<std::recursive_mutex> lock(s.mutex);
    if (!s.live(obj)) return 0;
    if (is(method, "write") && is(signature, "(I)V")) {
      lock.unlock();
      return serviceWrite(obj, intArgument);
    }
    if (is(method, "toString") && is(signature, "()Ljava/lang/String;")) {
      if (s.isString(obj)) return static_cast<int32_t>(obj);
      std::optional<std::string> text;
      if (const ToStringFn* override = s.toStringOverride(obj)) {
        // An override is the program's own Java code: it runs without the VM's lock, for it
        // may call the library again or wait on a thread that does.
        const ToStringFn fn = *override;
        lock.unlock();
        text = fn(obj);
      } else {
        text = s.defaultToString(obj);
        lock.unlock();
      }
      return text ? static_cast<int32_t>(newString(*text)) : 0;
    }
    return 0;
  });
}

int32_t Vm::serviceWrite(uint32_t stream, int32_t byte) {
  try {
    State& s = *s_;
    LastStream& last = lastStream;
    State::OutputStream* out = nullptr;
    if (last.state == &s && last.handle == stream &&
        last.epoch == s.streamsEpoch.load(std::memory_order_acquire)) {
      // Still a stream of this VM, so a handle handed out; freeSlot may have freed it since.
      if (State::get32(stream) == 0) return 0;
      out = last.stream;
    } else {
      const auto lock = s.hold();
      if (!s.live(stream)) return 0;
      auto it = s.streams.find(stream);
      if (it == s.streams.end()) return 0;
      out = &it->second;
      last = {&s, s.streamsEpoch.load(std::memory_order_relaxed), stream, out};
    }
    std::lock_guard<State::OutputStream> writing(*out);
    out->bytes += static_cast<char>(byte & 0xFF);
  } catch (...) {  // out of memory: the byte is lost, as an OutOfMemoryError would lose it
  }
  return 0;
}

uint32_t Vm::serviceMakeJavaString(const char* bytes, int32_t length) {
  return guarded<uint32_t>(0, [&]() -> uint32_t {
    const auto lock = s_->hold();
    if (length < 0 || (!bytes && length > 0)) return 0;
    return s_->newStringUnits(utf8ToUtf16(bytes ? bytes : "", static_cast<size_t>(length)));
  });
}

char* Vm::serviceMakeCString(uint32_t string) {
  return guarded<char*>(nullptr, [&]() -> char* {
    const auto lock = s_->hold();
    const auto units = s_->stringUnits(string);
    if (!units) return nullptr;
    s_->cStrings.push_back(utf16ToCString(*units));  // a deque: earlier copies never move
    return s_->cStrings.back().data();
  });
}

int32_t Vm::serviceJavaStringLength(uint32_t string) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    const auto lock = s_->hold();
    const auto units = s_->stringUnits(string);
    return units ? static_cast<int32_t>(units->size()) : 0;
  });
}

uint32_t Vm::serviceArrayAlloc(int32_t typeCode, int32_t count) {
  return guarded<uint32_t>(0, [&]() -> uint32_t {
    const auto lock = s_->hold();
    if (count < 0) return 0;
    if (typeCode == kObjectArray)
      return newObjectArray(s_->wk.object, static_cast<uint32_t>(count));
    if (primitiveElementSize(typeCode) == 0) return 0;
    return newArray(typeCode, static_cast<uint32_t>(count));
  });
}

}  // namespace simvm

// --- the exported C entry points --------------------------------------------------------------
// The same prototypes as the library's declarations; this file does not include them.

using simvm::Vm;

// On Linux the program exports the services and the library resolves them from the process.
// On Windows a DLL imports from a named module, so the program hands them to that module
// (simvm/platform_windows.cpp); here they are plain functions.
#if defined(_WIN32)
#define SIMVM_SERVICE
#else
#define SIMVM_SERVICE __attribute__((visibility("default")))
#endif

extern "C" {

SIMVM_SERVICE uint32_t FindClass(void*, const char* name, int32_t) {
  Vm* vm = Vm::current();
  return vm ? vm->serviceFindClass(name) : 0;
}

SIMVM_SERVICE int32_t execute_java_static_method(void* ee, uint32_t cls, const char* method,
                                                 const char* signature, ...) {
  va_list args;
  va_start(args, signature);
  const int32_t result = simvm::platform::staticMethodV(ee, cls, method, signature, args);
  va_end(args);
  return result;
}

SIMVM_SERVICE int32_t execute_java_dynamic_method(void* ee, uint32_t obj, const char* method,
                                                  const char* signature, ...) {
  va_list args;
  va_start(args, signature);
  const int32_t result = simvm::platform::dynamicMethodV(ee, obj, method, signature, args);
  va_end(args);
  return result;
}

SIMVM_SERVICE uint32_t makeJavaString(const char* bytes, int32_t length) {
  Vm* vm = Vm::current();
  return vm ? vm->serviceMakeJavaString(bytes, length) : 0;
}

SIMVM_SERVICE char* makeCString(uint32_t string) {
  Vm* vm = Vm::current();
  return vm ? vm->serviceMakeCString(string) : nullptr;
}

SIMVM_SERVICE int32_t javaStringLength(uint32_t string) {
  Vm* vm = Vm::current();
  return vm ? vm->serviceJavaStringLength(string) : 0;
}

SIMVM_SERVICE uint32_t ArrayAlloc(int32_t typeCode, int32_t count) {
  Vm* vm = Vm::current();
  return vm ? vm->serviceArrayAlloc(typeCode, count) : 0;
}

}  // extern "C"
