// The interactive shell: the console's commands read line by line, errors reported without
// leaving, and the rows of each result kept for $1, $2, ...
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "cli/commands.h"
#include "cli/completion.h"
#include "cli/format.h"

#ifdef TAVOLIN_HAVE_EDITLINE
#include <editline/readline.h>
#include <langinfo.h>
#endif

namespace cli {
namespace {

constexpr const char* kPrompt = "tavolin> ";

// Ctrl-C in the shell cancels the line being typed, or the output of the command running, and
// returns to the prompt. The handler only notes it; a read it interrupts returns early.
volatile std::sig_atomic_t interrupted = 0;

extern "C" void noteInterrupt(int) { interrupted = 1; }

class InterruptHandler {
 public:
#if defined(_WIN32)
  // The C runtime's console handler calls this on another thread; a read it interrupts
  // returns early there too.
  InterruptHandler() { previous_ = std::signal(SIGINT, noteInterrupt); }
  ~InterruptHandler() { std::signal(SIGINT, previous_); }
#else
  InterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = noteInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a read at the prompt must return to notice it
    sigaction(SIGINT, &sa, &previous_);
  }
  ~InterruptHandler() { sigaction(SIGINT, &previous_, nullptr); }
#endif
  // Whether Ctrl-C came since the last call.
  static bool taken() {
    const bool was = interrupted != 0;
    interrupted = 0;
    return was;
  }

 private:
#if defined(_WIN32)
  void (*previous_)(int) = nullptr;
#else
  struct sigaction previous_ {};
#endif
};

enum class ReadResult { Line, End, Interrupted };

#ifdef TAVOLIN_HAVE_EDITLINE
// The line editor reads characters as the locale's character type says; in the "C" locale a
// program starts in it drops every byte above 127, so "Shop$Ünïcödé" would come back as
// "Shop$ncd". Class names and strings are UTF-8 whatever the terminal's locale is called.
void useUtf8Characters() {
  const char* set = std::setlocale(LC_CTYPE, "");
  if (set && std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) return;
  if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "en_US.UTF-8");
}
#endif

// Line editing, history and completion on a terminal (when built with libedit); plain reads
// otherwise, so that a script piped into the shell sees no prompts.
class LineReader {
 public:
  LineReader() : interactive_(isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
#ifdef TAVOLIN_HAVE_EDITLINE
    if (interactive_) {
      useUtf8Characters();
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

  ReadResult read(std::string& line) {
#ifdef TAVOLIN_HAVE_EDITLINE
    if (interactive_) {
      // On Ctrl-C libedit drops the line and gives no text. The signal may also be noted only
      // after it has returned (libedit passes it on to our handler), so a line that did come
      // back is the next one typed and runs.
      char* text = readline(kPrompt);
      if (!text) {
        if (!InterruptHandler::taken()) return ReadResult::End;
        std::cout << std::endl;
        return ReadResult::Interrupted;
      }
      InterruptHandler::taken();
      line = text;
      std::free(text);
      if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
      return ReadResult::Line;
    }
#endif
    if (interactive_) std::cout << kPrompt << std::flush;
    return readPlain(line);
  }

 private:
  // One line from standard input through read(2), so that Ctrl-C can cut a read short.
  ReadResult readPlain(std::string& line) {
    line.clear();
    for (;;) {
      const size_t newline = pending_.find('\n');
      if (newline != std::string::npos) {
        line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        return ReadResult::Line;
      }
      char buf[4096];
      const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n < 0 && errno == EINTR) {
        if (!InterruptHandler::taken()) continue;
        pending_.clear();  // the line typed so far is cancelled
        if (interactive_) std::cout << std::endl;
        return ReadResult::Interrupted;
      }
      if (n <= 0) {
        if (pending_.empty()) return ReadResult::End;
        line.swap(pending_);  // a last line without its newline
        return ReadResult::Line;
      }
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

  bool interactive_;
  std::string history_;
  std::string pending_;
};

// A command's output, kept until the command is done, in blocks that are never copied to grow
// (a long list's text is tens of MB).
class CapturedText : public std::streambuf {
 public:
  CapturedText() = default;
  CapturedText(const CapturedText&) = delete;
  CapturedText& operator=(const CapturedText&) = delete;

  // Writes the text unless Ctrl-C came while the command ran or comes while it is written.
  bool deliver(std::ostream& out) {
    constexpr size_t kChunk = 4096;
    char last = '\n';
    for (size_t b = 0; b < blocks_.size(); ++b) {
      const char* text = blocks_[b].get();
      const size_t size = b + 1 < blocks_.size() ? kBlock : static_cast<size_t>(pptr() - pbase());
      for (size_t at = 0; at < size; at += kChunk) {
        if (InterruptHandler::taken()) {
          out << (last != '\n' ? "\n" : "") << std::flush;
          return false;
        }
        const size_t n = std::min(kChunk, size - at);
        out.write(text + at, static_cast<std::streamsize>(n));
        last = text[at + n - 1];
      }
    }
    out.flush();
    return !InterruptHandler::taken();
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (pptr() == epptr()) next();
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize left = n; left > 0;) {
      if (pptr() == epptr()) next();
      const std::streamsize room = std::min<std::streamsize>(left, epptr() - pptr());
      std::memcpy(pptr(), s, static_cast<size_t>(room));
      pbump(static_cast<int>(room));
      s += room;
      left -= room;
    }
    return n;
  }

 private:
  static constexpr size_t kBlock = 1 << 20;
  void next() {
    blocks_.emplace_back(new char[kBlock]);
    setp(blocks_.back().get(), blocks_.back().get() + kBlock);
  }
  std::vector<std::unique_ptr<char[]>> blocks_;
};

// "exit 3": the status the person asked the shell to leave with.
int leaveStatus(const std::vector<std::string>& words) {
  const std::optional<int32_t> n = words.size() == 2 ? parseCount(words[1]) : std::nullopt;
  if (!n || *n > 255)
    throw UsageError("usage: " + words[0] + " [STATUS]: a status from 0 to 255, not " +
                     quoteInput(words.size() > 1 ? words[1] : ""));
  return *n;
}

}  // namespace

int runShell(Context& ctx, const Invocation& inv, std::ostream& out) {
  if (ctx.inShell) throw UsageError("already in the shell");
  ctx.inShell = true;
  Session& session = ctx.session();  // load the heap before the first prompt
  InterruptHandler interrupts;
  LineReader reader;
  Completion completion(session);
  if (reader.interactive())
    out << "tavolin shell on "
        << (session.dump() ? quoteInput(ctx.options().heap) : std::string("the demo heap"))
        << ".\n'help' lists the commands, $1, $2 ... name the rows of the last result, Tab "
           "completes, 'quit' leaves.\n";
  bool failed = false;
  size_t lineNumber = 0;
  std::string line;
  for (ReadResult r; (r = reader.read(line)) != ReadResult::End;) {
    if (r == ReadResult::Interrupted) continue;
    ++lineNumber;
    // A script's errors say where they are; a person at the prompt knows.
    const std::string where =
        reader.interactive() ? "" : "line " + std::to_string(lineNumber) + ": ";
    CapturedText text;
    std::ostream captured(&text);
    ctx.output = inv.output;  // until the line says otherwise
    try {
      const std::vector<std::string> words = splitLine(line);
      if (words.empty()) continue;
      if (words[0] == "quit" || words[0] == "exit") {
        if (words.size() == 1) break;
        return leaveStatus(words);
      }
      if (runWords(ctx, words, inv.output, captured) != 0) failed = true;
      if (!text.deliver(out)) std::cerr << "(interrupted)" << std::endl;
    } catch (const std::exception& e) {
      text.deliver(out);
      reportFailure(ctx, where + e.what(), out);
      failed = true;
    }
    InterruptHandler::taken();  // Ctrl-C during an error report changes nothing
  }
  return failed ? 1 : 0;
}

}  // namespace cli
