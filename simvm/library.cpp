// Loading libTavolin2 and binding its stubs by symbol name, as the VM does.
#include "simvm/library.h"
#include "simvm/platform.h"

namespace simvm {

Library::Library(const std::string& dir, bool privateCopy) {
  const std::string file = platform::libraryFileName();
  path_ = dir.empty() ? file : dir + "/" + file;
  std::string open = path_;
  if (privateCopy) {
    if (dir.empty()) throw VmError("a private copy needs the library's folder");
    copy_ = platform::copyToTemp(path_);
    open = copy_;
  }
  std::string why;
  handle_ = platform::openLibrary(open, why);
  // Where the system allows it, the file goes now (the mapping stays); otherwise once unloaded.
  if (!copy_.empty() && platform::removeCopy(copy_)) copy_.clear();
  if (!handle_) throw VmError("cannot load " + path_ + ": " + why);
}

Library::~Library() {
  if (handle_) platform::closeLibrary(handle_);
  if (!copy_.empty()) platform::removeCopy(copy_);
}

const std::string& Library::path() const { return path_; }

std::string Library::stubSymbol(const std::string& method) {
  return "Java_com_norvane_debug_Tavolin_" + method + "_stub";
}

Stub Library::stub(const std::string& method) const {
  void* sym = platform::librarySymbol(handle_, stubSymbol(method));
  return reinterpret_cast<Stub>(sym);
}

std::string Library::defaultDir() {
  // An installed program uses the library installed beside it; a program still in the build
  // tree finds the build tree's.
  const std::string exe = platform::exeDir();
  const std::string file = platform::libraryFileName();
  if (platform::isFile(exe + "/../lib/" + file)) return exe + "/../lib";
  const std::string built = TAVOLIN_BUILD_LIBRARY_DIR;
  if (platform::isFile(built + "/" + file)) return built;
  return exe;
}

}  // namespace simvm
