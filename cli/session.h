// What a command runs against: the heap (built-in or loaded from a dump), the library, the
// caller that plays the Java side, and the handles of the last result for $1, $2, ...
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/args.h"
#include "cli/demo_heap.h"
#include "heapgraph/retained.h"
#include "hprof/hprof.h"
#include "simvm/library.h"
#include "simvm/vm.h"

namespace cli {

class Session {
 public:
  // Loads the library first (so a missing library is reported before a long load), then the
  // heap. Raises CliError when either cannot be had.
  explicit Session(const GlobalOptions& options);
  // Another session on the same heap and library, for another thread: its own caller (which
  // keeps the objects of its current call) and its own rows.
  struct ForWorker {};
  Session(const Session& shared, ForWorker);
  ~Session();

  simvm::Vm& vm() { return *vm_; }
  simvm::Caller& caller() { return *caller_; }
  const simvm::Library& library() const { return *lib_; }
  // The dump the heap came from; null for the built-in heap.
  const simvm::LoadedHeap* dump() const { return dump_.get(); }
  // The demo heap's notable objects; null for a loaded dump.
  const DemoHeap* demo() const { return demo_ ? &*demo_ : nullptr; }

  // The heap's dominator tree, computed on first use and kept (cli/dominator_commands.cpp).
  const heapgraph::HeapDominators& dominators();
  // Gives back what the calls made from now until its end allocated in the VM; null for a
  // session of another thread (ForWorker), whose host gives it back when no call is running.
  std::unique_ptr<simvm::VmScope> callScope() {
    return sharesVm_ ? nullptr : std::make_unique<simvm::VmScope>(*vm_);
  }
  // For a session of another thread: whether other threads may be calling into the VM now
  // (when not, its commands give back what they took, as the console's do).
  void setSharingVm(bool sharing) { sharesVm_ = sharing; }

  // Raises CliError naming the command when the library lacks the method's stub.
  void requireStub(const std::string& method, const std::string& command) const;

  // A handle: decimal, 0x hex, @<dump id in hex>, or $N (a row of the last result).
  // Raises UsageError for text that is none of these, CliError for a dump id or row that
  // does not exist.
  uint32_t resolveHandle(const std::string& text) const;
  // A class: a name in slash or dot form, or anything resolveHandle takes. Names that no
  // class has raise CliError.
  uint32_t resolveClass(const std::string& text) const;

  // What a class name finds: the class, or why there is none.
  struct ClassLookup {
    uint32_t cls = 0;
    bool known = false;    // the name was understood as a class name (an array of no class, ...)
    std::string why;       // the error, when cls is 0
    std::string hint;      // " (did you mean ...?)", or ""
    uint32_t element = 0;  // for "X[]": the class X, whether or not X[] has a class object
  };
  // A class by name: slash or dot form, X[] for arrays of X, the JVM's "/0x..." spelling of a
  // hidden class, or a simple name ("Session") that only one class has.
  ClassLookup lookUpClass(const std::string& name) const;
  // A handle, or a class name standing for the class's own handle (refs Leak lists the static
  // references of class Leak). Names that no class has raise CliError (NotFound).
  uint32_t resolveObject(const std::string& text) const;

  // The dump id of a handle, when the heap came from a dump and the handle is one of its objects.
  std::optional<uint64_t> dumpId(uint32_t h) const;

  // The handles behind the rows of the last list that had rows, for $1, $2, ...
  void setLastHandles(std::vector<uint32_t> handles);

  // How many rows the last list had in all, before --skip and --limit took their part; set by
  // the commands that list, taken (and forgotten) by whoever reports it (the pages' /api).
  void setListTotal(size_t rows) { listTotal_ = rows; }
  std::optional<size_t> takeListTotal() { return std::exchange(listTotal_, std::nullopt); }

 private:
  // " (did you mean X?)" for the class whose name is nearest, or "".
  std::string nearMiss(const std::string& name) const;

  std::shared_ptr<simvm::Library> lib_;
  std::shared_ptr<simvm::LoadedHeap> dump_;
  std::shared_ptr<simvm::Vm> ownVm_;
  simvm::Vm* vm_ = nullptr;
  std::optional<DemoHeap> demo_;
  std::unique_ptr<simvm::Caller> caller_;
  std::vector<uint32_t> last_;
  // Shared with the sessions of other threads made from this one (ForWorker).
  std::shared_ptr<const heapgraph::HeapDominators> dominators_;
  bool sharesVm_ = false;
  std::optional<size_t> listTotal_;
};

// Whether text is written as a handle ($N, @id, a number) rather than a class name.
bool looksLikeHandle(const std::string& text);

// Raises UsageError for text that cannot be a handle: $N outside the shell, @id without a dump,
// a number out of 32 bits, a malformed row or id. Class names pass (they need the heap).
void checkHandleSyntax(const std::string& text, bool inShell, bool haveDump);

// The kind letter the reports use for a handle: 'C' class, 'I' object, 'A' object array,
// 'P' primitive array, 0 for anything else (0, a free slot, not a handle).
char kindOf(const simvm::Vm& vm, uint32_t h);
// The class a report names for a handle: the class itself for a class object, the element
// class for an object array, the object's class otherwise; "" when there is none.
std::string reportedClassName(const simvm::Vm& vm, uint32_t h);

}  // namespace cli
