// Command-line words: the tool's own options, the command and its arguments, and the small
// parsers for handle numbers and shell lines.
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// A mistake in how the tool was called: exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Anything else that stops a command. Its kind gives the exit status (and a page's status):
// Failed 1 (an unreadable dump, no library), NotFound 3 (a class, handle, dump id or row that
// names nothing), DoesNotApply 4 (the question does not fit what was named: class-info of an
// object, missing on the built-in heap).
struct CliError : std::runtime_error {
  enum Kind { Failed, NotFound, DoesNotApply };
  explicit CliError(const std::string& what, Kind kind = Failed)
      : std::runtime_error(what), kind(kind) {}
  Kind kind;
};

// The exit status of a command that raised `e`: 1, 3 or 4 (a UsageError's is 2).
int exitStatusOf(const CliError& e);

enum class OutputMode { Table, Raw, Json };

struct GlobalOptions {
  std::string heap;      // empty: the built-in demo heap
  std::string lib;       // empty: simvm::Library::defaultDir()
  std::string baseline;  // an earlier dump to compare the heap with; empty: none
  bool high = false;     // place the heap at or above 2 GB
  OutputMode output = OutputMode::Table;
  bool help = false;
  bool version = false;
  std::vector<std::string> words;  // the command and everything after it
};

// Reads the options before the command; stops at the first word that is not one of them.
// Output-mode options after the command are taken by the command's own parser.
GlobalOptions parseGlobalOptions(const std::vector<std::string>& argv);

// "123", "-123" (a handle at or above 2 GB, as reports write it) or "0x7b". Nullopt when the
// text is none of these or does not fit in 32 bits.
std::optional<uint32_t> parseHandleNumber(const std::string& text);

// A non-negative decimal int; nullopt otherwise.
std::optional<int32_t> parseCount(const std::string& text);

// Splits a shell line into words: blanks separate, '...' and "..." quote, backslash escapes
// the next character outside single quotes, and a '#' that begins a word begins a comment.
// Raises UsageError on an unclosed quote.
std::vector<std::string> splitLine(const std::string& line);

// True when the word looks like an option rather than a value ("-5" is a value).
bool isOptionWord(const std::string& word);

}  // namespace cli
