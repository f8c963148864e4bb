// The interactive shell: the console's commands read line by line, errors reported without
// leaving, and the rows of each result kept for $1, $2, ...
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "cli/commands.h"

#ifdef TAVOLIN_HAVE_EDITLINE
#include <editline/readline.h>
#endif

namespace cli {
namespace {

constexpr const char* kPrompt = "tavolin> ";

// Line editing and history on a terminal (when built with libedit); plain reads otherwise,
// so that a script piped into the shell sees no prompts.
class LineReader {
 public:
  LineReader() : interactive_(isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
#ifdef TAVOLIN_HAVE_EDITLINE
    if (interactive_) {
      if (const char* home = std::getenv("HOME"))
        history_ = std::string(home) + "/.tavolin_history";
      if (!history_.empty()) read_history(history_.c_str());
    }
#endif
  }
  ~LineReader() {
#ifdef TAVOLIN_HAVE_EDITLINE
    if (interactive_ && !history_.empty()) write_history(history_.c_str());
#endif
  }
  bool interactive() const { return interactive_; }

  std::optional<std::string> read() {
#ifdef TAVOLIN_HAVE_EDITLINE
    if (interactive_) {
      char* line = readline(kPrompt);
      if (!line) return std::nullopt;
      std::string text(line);
      std::free(line);
      if (text.find_first_not_of(" \t") != std::string::npos) add_history(text.c_str());
      return text;
    }
#endif
    if (interactive_) std::cout << kPrompt << std::flush;
    std::string text;
    if (!std::getline(std::cin, text)) return std::nullopt;
    return text;
  }

 private:
  bool interactive_;
  std::string history_;
};

}  // namespace

int runShell(Context& ctx, const Invocation& inv, std::ostream& out) {
  if (ctx.inShell) throw UsageError("already in the shell");
  ctx.inShell = true;
  Session& session = ctx.session();  // load the heap before the first prompt
  LineReader reader;
  if (reader.interactive())
    out << "tavolin shell on "
        << (session.dump() ? ctx.options().heap : std::string("the demo heap"))
        << ".\n'help' lists the commands, $1, $2 ... name the rows of the last result, 'quit' "
           "leaves.\n";
  while (std::optional<std::string> line = reader.read()) {
    try {
      const std::vector<std::string> words = splitLine(*line);
      if (words.empty()) continue;
      if (words[0] == "quit" || words[0] == "exit") break;
      if (words[0] == "shell") throw UsageError("already in the shell");
      runWords(ctx, words, inv.output, out);
    } catch (const std::exception& e) {
      reportError(e.what());
    }
    out.flush();
  }
  return 0;
}

}  // namespace cli
