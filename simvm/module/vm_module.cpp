// simvm.dll: the seven services, exported under their plain cdecl names, each calling the
// host's implementation installed by simvm_install_services.
#define SIMVM_MODULE_BUILD 1
#include "simvm/module/vm_module.h"

#include <atomic>

namespace {

std::atomic<const SimvmServices*> g_services{nullptr};

const SimvmServices* services() { return g_services.load(std::memory_order_acquire); }

}  // namespace

void simvm_install_services(const SimvmServices* table) {
  g_services.store(table, std::memory_order_release);
}

extern "C" {

__attribute__((dllexport)) uint32_t FindClass(void* ee, const char* name, int32_t resolve) {
  const SimvmServices* s = services();
  return s ? s->findClass(ee, name, resolve) : 0;
}

__attribute__((dllexport)) int32_t execute_java_static_method(void* ee, uint32_t cls,
                                                              const char* method,
                                                              const char* signature, ...) {
  const SimvmServices* s = services();
  if (!s) return 0;
  va_list args;
  va_start(args, signature);
  const int32_t result = s->staticMethod(ee, cls, method, signature, args);
  va_end(args);
  return result;
}

__attribute__((dllexport)) int32_t execute_java_dynamic_method(void* ee, uint32_t obj,
                                                               const char* method,
                                                               const char* signature, ...) {
  const SimvmServices* s = services();
  if (!s) return 0;
  va_list args;
  va_start(args, signature);
  const int32_t result = s->dynamicMethod(ee, obj, method, signature, args);
  va_end(args);
  return result;
}

__attribute__((dllexport)) uint32_t makeJavaString(const char* bytes, int32_t length) {
  const SimvmServices* s = services();
  return s ? s->makeJavaString(bytes, length) : 0;
}

__attribute__((dllexport)) char* makeCString(uint32_t string) {
  const SimvmServices* s = services();
  return s ? s->makeCString(string) : nullptr;
}

__attribute__((dllexport)) int32_t javaStringLength(uint32_t string) {
  const SimvmServices* s = services();
  return s ? s->javaStringLength(string) : 0;
}

__attribute__((dllexport)) uint32_t ArrayAlloc(int32_t typeCode, int32_t count) {
  const SimvmServices* s = services();
  return s ? s->arrayAlloc(typeCode, count) : 0;
}

}  // extern "C"
