#include "cli/completion.h"

#include <cstdlib>
#include <cstring>

#include "cli/args.h"
#include "cli/commands.h"

#ifdef TAVOLIN_HAVE_EDITLINE
#include <editline/readline.h>
#endif

namespace cli {

std::vector<std::string> completions(Session& session, const std::string& before,
                                     const std::string& prefix) {
  std::vector<std::string> words;
  try {
    words = splitLine(before);
  } catch (const UsageError&) {
    return {};  // inside an open quote
  }
  while (!words.empty() && (words[0] == "--json" || words[0] == "--raw"))
    words.erase(words.begin());
  std::vector<std::string> out;
  auto offer = [&](const std::string& w) {
    if (w.compare(0, prefix.size(), prefix) == 0) out.push_back(w);
  };
  if (words.empty()) {
    for (const Command& c : commands()) offer(c.name);
    for (const char* w : {"help", "quit", "exit"}) offer(w);
    return out;
  }
  const Command* cmd = findCommand(words[0] == "help" && words.size() == 1 ? "" : words[0]);
  if (words[0] == "help") {
    for (const Command& c : commands()) offer(c.name);
  } else if (!prefix.empty() && prefix[0] == '-') {
    for (const char* w : {"--json", "--raw", "--help"}) offer(w);
    if (cmd) {
      for (const char* f : cmd->flags) offer(f);
      if (cmd->takesLimit) offer("--limit");
      if (cmd->takesSkip) offer("--skip");
      if (cmd->takesMaxNodes) offer("--max-nodes");
    }
  } else if (!looksLikeHandle(prefix)) {
    // Class names as the console prints them, or in dot form when the word has a dot.
    const bool dots = prefix.find('.') != std::string::npos;
    for (uint32_t c : session.vm().classes()) {
      std::string name = session.vm().className(c);
      if (name.empty() || name[0] == '[') continue;
      if (dots)
        for (char& ch : name)
          if (ch == '/') ch = '.';
      offer(name);
    }
  }
  return out;
}

#ifdef TAVOLIN_HAVE_EDITLINE
namespace {

Session* completing = nullptr;
std::vector<std::string> matches;

char* nextMatch(const char* /*text*/, int state) {
  static size_t at = 0;
  if (state == 0) at = 0;
  return at < matches.size() ? strdup(matches[at++].c_str()) : nullptr;
}

char** complete(const char* text, int start, int /*end*/) {
  rl_attempted_completion_over = 1;  // no file names
  if (!completing) return nullptr;
  matches = completions(*completing, std::string(rl_line_buffer, static_cast<size_t>(start)), text);
  return matches.empty() ? nullptr : rl_completion_matches(text, nextMatch);
}

}  // namespace

Completion::Completion(Session& session) {
  completing = &session;
  rl_attempted_completion_function = complete;
  // Words break at blanks only: class names hold '/', '.' and '$'.
  static char breaks[] = " \t";
  rl_completer_word_break_characters = breaks;
}

Completion::~Completion() {
  rl_attempted_completion_function = nullptr;
  completing = nullptr;
}
#else
Completion::Completion(Session&) {}
Completion::~Completion() = default;
#endif

}  // namespace cli
