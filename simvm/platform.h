// What the stand-in VM needs from the operating system, behind one small interface:
// simvm/platform_posix.cpp for Linux, simvm/platform_windows.cpp for Windows.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace simvm::platform {

// Readable and writable memory of `size` bytes exactly at `at`, or null when that is taken
// (or the system would put it elsewhere).
void* mapAt(uint64_t at, size_t size);
void unmap(void* p, size_t size);
// Makes [p, p + size) unreadable; "" on success, otherwise why not.
std::string protectNone(void* p, size_t size);

// The library's file name: libTavolin2.so, or Tavolin2.dll.
const char* libraryFileName();
// Opens a shared library by path; null and `error` set on failure.
void* openLibrary(const std::string& path, std::string& error);
// Lets go of a library. On Linux its mapping stays, as in a VM, which never unloads a native
// library, so that the caches the library keeps for its whole life stay reachable for the leak
// checker. On Windows it is unloaded: a test program loads a private copy for each of hundreds
// of heaps, and kept copies would fill its 32-bit address space.
void closeLibrary(void* handle);
void* librarySymbol(void* handle, const std::string& name);
// A fresh temporary copy of `from` that `openLibrary` can load; throws VmError.
std::string copyToTemp(const std::string& from);
// Removes a temporary copy; false when the system keeps it, as Windows does while it is loaded.
bool removeCopy(const std::string& path);

std::string exeDir();
bool isFile(const std::string& path);

// Makes the seven services reachable by a library that this program loads.
void linkServices();

// The two services with variable arguments, taking them as a va_list (simvm/services.cpp), so
// that a module forwarding the services can pass them on.
int32_t staticMethodV(void* ee, uint32_t cls, const char* method, const char* signature,
                      va_list args);
int32_t dynamicMethodV(void* ee, uint32_t obj, const char* method, const char* signature,
                       va_list args);

}  // namespace simvm::platform
