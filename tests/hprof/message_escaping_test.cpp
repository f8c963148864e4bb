// A damaged file's error quotes bytes of the file, and the message goes to a terminal: those
// bytes come out as \xNN wherever they could act on it, and nothing of them is lost.
#include <gtest/gtest.h>

#include <random>

#include "tests/common/hostile_text.h"
#include "tests/hprof/hprof_testing.h"

namespace {

// `\xNN` turned back into the byte.
std::string unescaped(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s.compare(i, 2, "\\x") == 0 && i + 4 <= s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

void expectQuotedSafely(const std::string& header) {
  SCOPED_TRACE(testing::PrintToString(header));
  try {
    hproftest::loadBytes(header + std::string("\0\0\0\0\x08", 5));
    ADD_FAILURE() << "loaded";
  } catch (const simvm::HprofError& e) {
    const std::string what = e.what();
    EXPECT_EQ(hostile::terminalHazard(what), "") << testing::PrintToString(what);
    EXPECT_NE(unescaped(what).find("(header \"" + header + "\")"), std::string::npos)
        << testing::PrintToString(what);
  }
}

// Headers of up to 32 bytes (a longer one is not quoted), without the backslash that would
// make the message ambiguous to read back.
TEST(HprofMessages, a_header_quoted_in_an_error_reaches_no_terminal_raw) {
  std::string header;
  for (const std::string& p : hostile::pieces()) {
    if (p == "\\") continue;
    if (header.size() + p.size() > 32) {
      expectQuotedSafely(header);
      header.clear();
    }
    header += p;
  }
  expectQuotedSafely(header);
  std::mt19937 rng(7);
  for (int n = 0; n < 200; ++n) {
    std::string random = hostile::random(rng, 1 + rng() % 8);
    random.erase(std::remove(random.begin(), random.end(), '\\'), random.end());
    if (!random.empty() && random.size() <= 32) expectQuotedSafely(random);
  }
}

}  // namespace
