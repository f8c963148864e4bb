// The VM's module on Windows (simvm.dll): the one module that exports the seven services, so
// that Tavolin2.dll can import them by name, as it imports them from a real VM's module. The
// services themselves live in the program that hosts the stand-in VM; at start it hands them
// to the module with simvm_install_services, and the module's exports call through.
#pragma once
#include <stdarg.h>
#include <stdint.h>

struct SimvmServices {
  uint32_t (*findClass)(void* ee, const char* name, int32_t resolve);
  int32_t (*staticMethod)(void* ee, uint32_t cls, const char* method, const char* signature,
                          va_list args);
  int32_t (*dynamicMethod)(void* ee, uint32_t obj, const char* method, const char* signature,
                           va_list args);
  uint32_t (*makeJavaString)(const char* bytes, int32_t length);
  char* (*makeCString)(uint32_t string);
  int32_t (*javaStringLength)(uint32_t string);
  uint32_t (*arrayAlloc)(int32_t typeCode, int32_t count);
};

#if defined(SIMVM_MODULE_BUILD)
#define SIMVM_MODULE_API extern "C" __attribute__((dllexport))
#else
#define SIMVM_MODULE_API extern "C" __attribute__((dllimport))
#endif

// Installs the host's services; the table must outlive every call. Before it, every service
// answers 0 or null, as the services do without a current VM.
SIMVM_MODULE_API void simvm_install_services(const SimvmServices* services);
