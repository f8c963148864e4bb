// The seven services the VM exports and the library calls back into. They stay undefined in
// libTavolin2.so and are resolved from the process that loads it. The C types are fixed: on
// i386 they match the VM's pointer prototypes byte for byte, so every VM, ours or another,
// can provide them. The execution-environment argument is always passed as a null pointer.
#pragma once
#include <stdint.h>

extern "C" {
uint32_t FindClass(void* ee, const char* name, int32_t resolve);
int32_t execute_java_static_method(void* ee, uint32_t cls, const char* method,
                                   const char* signature, ...);
int32_t execute_java_dynamic_method(void* ee, uint32_t obj, const char* method,
                                    const char* signature, ...);
uint32_t makeJavaString(const char* bytes, int32_t length);
char* makeCString(uint32_t string);
int32_t javaStringLength(uint32_t string);
uint32_t ArrayAlloc(int32_t typeCode, int32_t count);
}
