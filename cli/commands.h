// The console's commands: one per query, plus the guided tour and the interactive shell.
// Each command parses its own words, asks the library through the session's caller, and
// presents the answer as a table, JSON, or the raw bytes the library produced.
#pragma once
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/baseline.h"
#include "cli/session.h"

namespace cli {

// The tool's options and the session, opened on first use so that --help needs no heap.
class Context {
 public:
  explicit Context(GlobalOptions options) : options_(std::move(options)) {}
  // With --baseline, the baseline's census is taken first: two heaps cannot be open at once.
  Session& session() {
    if (!session_) {
      if (!options_.baseline.empty() && !baseline_) baseline_ = loadBaseline(options_);
      session_ = std::make_unique<Session>(options_);
    }
    return *session_;
  }
  // The census of the --baseline dump; null without one. Opens the session.
  const Baseline* baseline() {
    session();
    return baseline_.get();
  }
  // A context of its own for another thread: the same heap, baseline and options, its own caller
  // and rows.
  Context(const Context& shared, Session::ForWorker)
      : options_(shared.options_),
        session_(std::make_unique<Session>(*shared.session_, Session::ForWorker{})),
        baseline_(shared.baseline_) {}
  const GlobalOptions& options() const { return options_; }
  bool inShell = false;
  // The output mode of the command running now: a failure in JSON mode is reported in JSON too.
  OutputMode output = OutputMode::Table;

 private:
  GlobalOptions options_;
  std::unique_ptr<Session> session_;
  std::shared_ptr<const Baseline> baseline_;
};

// One command's words after parsing.
struct Invocation {
  std::vector<std::string> args;  // positional
  std::set<std::string> flags;    // "--subclasses", ...
  std::string maxNodes;           // the value of --max-nodes, if given
  std::optional<size_t> limit;    // --limit N: show at most N rows
  size_t skip = 0;                // --skip N: leave out the first N rows
  OutputMode output = OutputMode::Table;
  bool help = false;
};

struct Command {
  const char* name = "";
  const char* synopsis = "";  // "instances CLASS [--subclasses] [--arrays]"
  const char* summary = "";   // one line
  const char* details = "";   // the body of `help CMD`
  std::vector<const char*> flags;
  bool takesMaxNodes = false;
  size_t minArgs = 0, maxArgs = 0;
  bool takesLimit = false;         // a list: --limit N shows its first N rows
  bool takesSkip = false;          // a list that may start later: --skip N leaves out N rows
  size_t defaultLimit = SIZE_MAX;  // the rows a list shows without --limit
  bool handleArgument = false;     // its argument is a HANDLE (or a class name)
  bool ownOptions = false;         // parses its words itself (all but --help come as args)
  int (*run)(Context& ctx, const Invocation& inv, std::ostream& out) = nullptr;
  // Why the command has no --raw form, after its name ("reads the VM, not the library: it has
  // no --raw form"); null when --raw writes the library's answer.
  const char* noRawForm = nullptr;
};

const std::vector<Command>& commands();
// Adds a command built outside cli/ (serve); call before any command runs.
void registerCommand(const Command& command);
const Command* findCommand(const std::string& name);

void printToolHelp(std::ostream& out);
void printCommandHelp(std::ostream& out, const Command& cmd, bool inShell = false);
// `help` in the shell: its commands and its own words (quit, exit), without the tool's options.
void printShellHelp(std::ostream& out);

// Runs one command line (words[0] is the command, or "help"); `mode` is the output mode the
// tool was started with, which the command's own --raw/--json override. Returns the exit
// status; raises UsageError and CliError for the caller to report.
int runWords(Context& ctx, std::vector<std::string> words, OutputMode mode, std::ostream& out);

// Reports a failure: the error line on standard error and, when the command was writing JSON,
// {"error": ...} on `out` so that a script reading the JSON sees it too.
void reportFailure(const Context& ctx, const std::string& what, std::ostream& out);

// "tavolin: error: <what>" on standard error, after whatever standard output holds.
void reportError(const std::string& what);

// Implemented beside the tour and the shell.
int runDemo(Context& ctx, const Invocation& inv, std::ostream& out);
int runShell(Context& ctx, const Invocation& inv, std::ostream& out);

}  // namespace cli
