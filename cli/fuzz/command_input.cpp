#include "cli/fuzz/command_input.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/fuzz/console_context.h"
#include "cli/session.h"

namespace fuzzing {
namespace {

// Words a person's mistakes should never crash: a usage error or a command's refusal is an
// answer; anything else escaping is a finding (the fuzzer reports the exception).
template <class F>
void answered(F&& f) {
  try {
    f();
  } catch (const cli::UsageError&) {
  } catch (const cli::CliError&) {
  }
}

// The shell and the tour read the terminal or run long; the rest answer from the heap.
bool runsHere(const std::vector<std::string>& words) {
  for (const std::string& w : words)
    if (w == "shell" || w == "demo") return false;
  return true;
}

void tryWord(cli::Session& s, const std::string& word, bool inShell) {
  (void)cli::parseHandleNumber(word);
  (void)cli::parseCount(word);
  (void)cli::isOptionWord(word);
  (void)cli::looksLikeHandle(word);
  answered([&] { cli::checkHandleSyntax(word, inShell, false); });
  answered([&] { (void)s.resolveHandle(word); });
  answered([&] { (void)s.resolveClass(word); });
  (void)s.lookUpClass(word);
}

}  // namespace

void runCommandLines(const uint8_t* data, size_t size) {
  cli::Context& ctx = consoleContext();
  cli::Session& session = ctx.session();
  session.setLastHandles({});
  std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
  std::string line;
  std::getline(lines, line);

  // The command line: argv split on blanks, no quoting.
  std::vector<std::string> argv;
  for (size_t at = 0; at <= line.size();) {
    const size_t blank = std::min(line.find(' ', at), line.size());
    if (blank > at) argv.push_back(line.substr(at, blank - at));
    at = blank + 1;
  }
  ctx.inShell = false;
  answered([&] {
    const cli::GlobalOptions options = cli::parseGlobalOptions(argv);
    for (const std::string& w : options.words) tryWord(session, w, false);
    // A heap or a library of another file would be read from the disk: parsed only.
    if (options.words.empty() || !options.heap.empty() || !options.lib.empty() ||
        !runsHere(options.words))
      return;
    std::ostringstream out;
    cli::runWords(ctx, options.words, options.output, out);
  });

  // Shell lines, each as the shell runs it.
  ctx.inShell = true;
  for (int n = 0; n < 8 && std::getline(lines, line); ++n) {
    answered([&] {
      const std::vector<std::string> words = cli::splitLine(line);
      for (const std::string& w : words) tryWord(session, w, true);
      if (words.empty() || !runsHere(words)) return;
      std::ostringstream out;
      cli::runWords(ctx, words, cli::OutputMode::Table, out);
    });
  }
}

}  // namespace fuzzing
