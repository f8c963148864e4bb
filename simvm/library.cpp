// Loading libTavolin2 and binding its stubs by symbol name, as the VM does.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

#include "simvm/library.h"

namespace simvm {
namespace {

constexpr const char* kFileName = "libTavolin2.so";

bool isFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string exeDir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Copies `from` into a fresh temporary file and returns its name.
std::string copyToTemp(const std::string& from) {
  std::ifstream in(from, std::ios::binary);
  if (!in) throw VmError("cannot read " + from + ": " + std::strerror(errno));
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/libTavolin2-XXXXXX.so";
  const int fd = ::mkstemps(name.data(), 3);
  if (fd < 0) throw VmError("cannot make a temporary copy of " + from + ": " + std::strerror(errno));
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

}  // namespace

Library::Library(const std::string& dir, bool privateCopy) {
  path_ = dir.empty() ? std::string(kFileName) : dir + "/" + kFileName;
  std::string open = path_;
  if (privateCopy) {
    if (dir.empty()) throw VmError("a private copy needs the library's folder");
    copy_ = copyToTemp(path_);
    open = copy_;
  }
  dlerror();
  // RTLD_NODELETE: like a VM, which never unloads a native library, we keep every loaded copy
  // mapped, so that the caches the library keeps for its whole life stay reachable instead of
  // turning into leaks when the Library goes away.
  handle_ = ::dlopen(open.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!copy_.empty()) {
    ::unlink(copy_.c_str());  // the mapping stays; nothing is left on disk
    copy_.clear();
  }
  if (!handle_) {
    const char* why = dlerror();
    throw VmError("cannot load " + path_ + ": " + (why ? why : "unknown error"));
  }
}

Library::~Library() {
  if (handle_) ::dlclose(handle_);
}

const std::string& Library::path() const { return path_; }

std::string Library::stubSymbol(const std::string& method) {
  return "Java_com_norvane_debug_Tavolin_" + method + "_stub";
}

Stub Library::stub(const std::string& method) const {
  void* sym = ::dlsym(handle_, stubSymbol(method).c_str());
  return reinterpret_cast<Stub>(sym);
}

std::string Library::defaultDir() {
  // An installed program uses the library installed beside it; a program still in the build
  // tree finds the build tree's.
  const std::string exe = exeDir();
  if (isFile(exe + "/../lib/" + kFileName)) return exe + "/../lib";
  const std::string built = TAVOLIN_BUILD_LIBRARY_DIR;
  if (isFile(built + "/" + kFileName)) return built;
  return exe;
}

}  // namespace simvm
