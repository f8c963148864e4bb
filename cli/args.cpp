#include "cli/args.h"

#include "cli/format.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace cli {

int exitStatusOf(const CliError& e) {
  switch (e.kind) {
    case CliError::NotFound:
      return 3;
    case CliError::DoesNotApply:
      return 4;
    default:
      return 1;
  }
}

bool isOptionWord(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && !std::isdigit(static_cast<unsigned char>(word[1]));
}

namespace {

// The value of "--name=value" or of the word after "--name".
std::string optionValue(const std::vector<std::string>& argv, size_t& i, const std::string& name) {
  const std::string& word = argv[i];
  if (word.size() > name.size() && word[name.size()] == '=') return word.substr(name.size() + 1);
  if (i + 1 >= argv.size()) throw UsageError("option " + name + " needs a value");
  return argv[++i];
}

bool isOption(const std::string& word, const std::string& name) {
  return word == name || (word.size() > name.size() && word.compare(0, name.size(), name) == 0 &&
                          word[name.size()] == '=');
}

}  // namespace

GlobalOptions parseGlobalOptions(const std::vector<std::string>& argv) {
  GlobalOptions o;
  bool outputGiven = false;
  auto setOutput = [&](OutputMode mode) {
    if (outputGiven && o.output != mode) throw UsageError("give one of --raw and --json, not both");
    outputGiven = true;
    o.output = mode;
  };
  size_t i = 0;
  for (; i < argv.size(); ++i) {
    const std::string& w = argv[i];
    if (!isOptionWord(w)) break;
    if (isOption(w, "--heap")) {
      if (!o.heap.empty()) throw UsageError("--heap is given twice: one heap at a time");
      o.heap = optionValue(argv, i, "--heap");
      if (o.heap.empty()) throw UsageError("option --heap needs a file name");
    } else if (isOption(w, "--baseline")) {
      if (!o.baseline.empty())
        throw UsageError("--baseline is given twice: one baseline at a time");
      o.baseline = optionValue(argv, i, "--baseline");
      if (o.baseline.empty()) throw UsageError("option --baseline needs a file name");
    } else if (isOption(w, "--lib")) {
      if (!o.lib.empty()) throw UsageError("--lib is given twice");
      o.lib = optionValue(argv, i, "--lib");
      if (o.lib.empty()) throw UsageError("option --lib needs a folder");
    } else if (w == "--raw") {
      setOutput(OutputMode::Raw);
    } else if (w == "--json") {
      setOutput(OutputMode::Json);
    } else if (w == "--high") {
      o.high = true;
    } else if (w == "--help" || w == "-h") {
      o.help = true;
    } else if (w == "--version" || w == "-V") {
      o.version = true;
    } else if (w == "--") {
      ++i;
      break;
    } else {
      throw UsageError("unknown option " + quoteInput(w) + " (see tavolin --help)");
    }
  }
  o.words.assign(argv.begin() + static_cast<long>(i), argv.end());
  if (o.version && !o.words.empty())
    throw UsageError("--version takes no command, not " + quoteInput(o.words[0]));
  return o;
}

std::optional<uint32_t> parseHandleNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t start = hex ? 2 : (text[0] == '-' ? 1 : 0);
  if (start >= text.size()) return std::nullopt;
  for (size_t i = start; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (hex ? !std::isxdigit(c) : !std::isdigit(c)) return std::nullopt;
  }
  errno = 0;
  if (hex) {
    const unsigned long long v = std::strtoull(text.c_str() + 2, nullptr, 16);
    if (errno != 0 || v > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(v);
  }
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0 || v < -2147483648LL || v > 0xFFFFFFFFLL) return std::nullopt;
  return static_cast<uint32_t>(v);
}

std::optional<int32_t> parseCount(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v > 2147483647LL) return std::nullopt;
  return static_cast<int32_t>(v);
}

std::vector<std::string> splitLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
        word += line[++i];
      } else {
        word += c;
      }
    } else if (c == '#' && !inWord) {
      break;  // a comment runs to the end of the line
    } else if (c == '\'' || c == '"') {
      quote = c;
      inWord = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      inWord = true;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quote) throw UsageError(std::string("unclosed ") + quote + " quote");
  if (inWord) words.push_back(word);
  return words;
}

}  // namespace cli
