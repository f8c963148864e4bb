// The stand-in VM on Windows: VirtualAlloc at chosen addresses, LoadLibrary, and the VM's
// module (simvm.dll) that the library imports the services from.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>

#include "simvm/module/vm_module.h"
#include "simvm/platform.h"
#include "simvm/vm.h"

extern "C" {
uint32_t FindClass(void* ee, const char* name, int32_t resolve);
uint32_t makeJavaString(const char* bytes, int32_t length);
char* makeCString(uint32_t string);
int32_t javaStringLength(uint32_t string);
uint32_t ArrayAlloc(int32_t typeCode, int32_t count);
}

namespace simvm::platform {
namespace {

std::string lastError() {
  char buf[512];
  const DWORD code = GetLastError();
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buf, sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) n--;
  return n ? std::string(buf, n) : "error " + std::to_string(code);
}

std::string windowsPath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string tempFolder() {
  char buf[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof buf, buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string(".\\");
}

bool processRuns(unsigned long pid) {
  HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!p) return false;
  DWORD code = 0;
  const bool running = GetExitCodeProcess(p, &code) && code == STILL_ACTIVE;
  CloseHandle(p);
  return running;
}

// Copies of the library (Tavolin2-<pid>-<n>.dll) cannot be deleted while loaded; each is
// deleted once unloaded. A program that ended without unloading leaves its copies behind, so a
// program's first copy clears those of programs that have ended.
void removeStaleCopies(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA((folder + "Tavolin2-*.dll").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    unsigned long pid = 0;
    if (std::sscanf(found.cFileName, "Tavolin2-%lu-", &pid) == 1 && !processRuns(pid))
      DeleteFileA((folder + found.cFileName).c_str());
  } while (FindNextFileA(h, &found));
  FindClose(h);
}

}  // namespace

void* mapAt(uint64_t at, size_t size) {
  void* want = reinterpret_cast<void*>(static_cast<uintptr_t>(at));
  if (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(want)) != at) return nullptr;
  void* got = VirtualAlloc(want, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (got && got != want) {
    VirtualFree(got, 0, MEM_RELEASE);
    return nullptr;
  }
  return got;
}

void unmap(void* p, size_t) { VirtualFree(p, 0, MEM_RELEASE); }

std::string protectNone(void* p, size_t size) {
  DWORD old;
  return VirtualProtect(p, size, PAGE_NOACCESS, &old) ? "" : lastError();
}

const char* libraryFileName() { return "Tavolin2.dll"; }

void* openLibrary(const std::string& path, std::string& error) {
  HMODULE h = LoadLibraryA(windowsPath(path).c_str());
  if (!h) error = lastError();
  return reinterpret_cast<void*>(h);
}

void closeLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

void* librarySymbol(void* handle, const std::string& name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name.c_str()));
}

std::string copyToTemp(const std::string& from) {
  static std::atomic<unsigned> counter{0};
  std::ifstream in(windowsPath(from), std::ios::binary);
  if (!in) throw VmError("cannot read " + from);
  const std::string folder = tempFolder();
  if (counter.load() == 0) removeStaleCopies(folder);
  const std::string name = folder + "Tavolin2-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(counter.fetch_add(1)) + ".dll";
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.close();
  if (!out || in.bad()) {
    DeleteFileA(name.c_str());
    throw VmError("cannot write the temporary copy " + name);
  }
  return name;
}

bool removeCopy(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

std::string exeDir() {
  char buf[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return ".";
  std::string path(buf, n);
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool isFile(const std::string& path) {
  const DWORD a = GetFileAttributesA(windowsPath(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

void linkServices() {
  static const SimvmServices table = {FindClass,   staticMethodV,    dynamicMethodV, makeJavaString,
                                      makeCString, javaStringLength, ArrayAlloc};
  simvm_install_services(&table);
}

}  // namespace simvm::platform
