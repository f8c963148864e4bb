// The stand-in VM on Linux: mmap below 4 GB, dlopen, /proc/self/exe. The services need no
// linking here: the program exports them and the library resolves them from the process.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "simvm/platform.h"
#include "simvm/vm.h"

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

namespace simvm::platform {

void* mapAt(uint64_t at, size_t size) {
  void* want = reinterpret_cast<void*>(static_cast<uintptr_t>(at));
  void* got = mmap(want, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (got == MAP_FAILED) return nullptr;
  if (got != want) {  // a kernel that ignores the flag treats the address as a hint only
    munmap(got, size);
    return nullptr;
  }
  return got;
}

void unmap(void* p, size_t size) { munmap(p, size); }

std::string protectNone(void* p, size_t size) {
  return mprotect(p, size, PROT_NONE) == 0 ? "" : std::strerror(errno);
}

const char* libraryFileName() { return "libTavolin2.so"; }

void* openLibrary(const std::string& path, std::string& error) {
  dlerror();
  // RTLD_NODELETE: like a VM, which never unloads a native library, we keep every loaded copy
  // mapped, so that the caches the library keeps for its whole life stay reachable instead of
  // turning into leaks when the Library goes away.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    const char* why = dlerror();
    error = why ? why : "unknown error";
  }
  return handle;
}

void closeLibrary(void* handle) { ::dlclose(handle); }

void* librarySymbol(void* handle, const std::string& name) { return ::dlsym(handle, name.c_str()); }

std::string copyToTemp(const std::string& from) {
  std::ifstream in(from, std::ios::binary);
  if (!in) throw VmError("cannot read " + from + ": " + std::strerror(errno));
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/libTavolin2-XXXXXX.so";
  const int fd = ::mkstemps(name.data(), 3);
  if (fd < 0)
    throw VmError("cannot make a temporary copy of " + from + ": " + std::strerror(errno));
  char buf[1 << 16];
  bool ok = true;
  while (ok && in) {
    in.read(buf, sizeof buf);
    for (std::streamsize done = 0, n = in.gcount(); ok && done < n;) {
      const ssize_t w = ::write(fd, buf + done, static_cast<size_t>(n - done));
      ok = w > 0;
      done += w > 0 ? w : 0;
    }
  }
  ok = ::close(fd) == 0 && ok && !in.bad();
  if (!ok) {
    ::unlink(name.c_str());
    throw VmError("cannot write the temporary copy " + name);
  }
  return name;
}

bool removeCopy(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::string exeDir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool isFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void linkServices() {}

}  // namespace simvm::platform
