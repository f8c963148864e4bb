// Tab completion in the interactive shell: command names first on a line, then the command's
// options, and class names wherever a word is not an option.
#pragma once
#include <string>
#include <vector>

#include "cli/session.h"

namespace cli {

// The words that complete `prefix` as the word after `before` (the line up to the word).
std::vector<std::string> completions(Session& session, const std::string& before,
                                     const std::string& prefix);

// Installs completion for the line editor while it lives (nothing without one).
class Completion {
 public:
  explicit Completion(Session& session);
  ~Completion();
  Completion(const Completion&) = delete;
  Completion& operator=(const Completion&) = delete;
};

}  // namespace cli
