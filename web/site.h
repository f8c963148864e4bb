// What the pages ask of the heap: the console's own commands, run in JSON mode on a context of
// the request's thread, so that a page shows the records the console's --json writes.
#pragma once
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace web {

// A request that cannot be answered: 400 for a malformed parameter, 404 for a handle or class
// that names nothing, 422 for a question that does not apply to what it names.
struct HttpError : std::runtime_error {
  HttpError(int status, const std::string& what) : std::runtime_error(what), status(status) {}
  int status;
};

// One command's answer: the JSON it wrote (records, or {"error": ...}) and its exit status.
struct Answer {
  int exitStatus = 0;
  int httpStatus = 200;         // what /api answers with it: 200, 404, 422 or 500
  std::optional<size_t> total;  // a list's rows in all, where the command counted them
  std::string text;             // as written
  nlohmann::json json;          // parsed; null when the command wrote no JSON (a sentence)
  std::string error() const;    // the error's text, or ""
};

// Calls into the library allocate a little in the VM (the prefix String, the output stream);
// several requests may do so at once, and what they took is given back whenever none is running.
// A request that counts the heap's objects (census, instance lists) runs alone, so that no other
// call's objects are counted with them; so does everything once the VM has handed out much
// since it was last given back.
class VmGate {
 public:
  explicit VmGate(simvm::Vm& vm) : vm_(vm) {}
  void enter(bool alone);
  void leave(bool alone);

 private:
  simvm::Vm& vm_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int running_ = 0, aloneWaiting_ = 0;
  bool aloneRunning_ = false, draining_ = false;
  simvm::Vm::Mark mark_;
};

class Site {
 public:
  // `main`'s session is opened here (the heap loaded, and the baseline's census taken).
  explicit Site(cli::Context& main);

  // Runs a console command line in JSON mode. `alone`: see VmGate. Whole-heap answers (census,
  // usage, threads, missing) are kept: the heap does not change while it is served.
  Answer run(const std::vector<std::string>& words, bool alone = false, bool keep = false);
  // The same, the JSON written to `out` as it is made (a long list is never held whole); the
  // answer's text and json stay empty.
  Answer runInto(const std::vector<std::string>& words, bool alone, std::ostream& out);

  cli::Session& session() { return main_.session(); }  // for lookups that only read
  simvm::Vm& vm() { return main_.session().vm(); }
  const cli::Baseline* baseline() { return main_.baseline(); }

  // The handle in a URL ("0x1a2b" or decimal): 400 when malformed, 404 when no class, object
  // or array has it.
  uint32_t handleParam(const std::string& text);

 private:
  std::unique_ptr<cli::Context> takeContext();
  void giveBack(std::unique_ptr<cli::Context> ctx);

  cli::Context& main_;
  uint32_t callingThread_ = 0;  // the Java thread the console calls from
  VmGate gate_;
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<cli::Context>> pool_;
  std::mutex keptMutex_;
  std::map<std::string, std::shared_ptr<const Answer>> kept_;
};

}  // namespace web
