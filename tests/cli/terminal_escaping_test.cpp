// The console on heaps of hostile names and texts, and given hostile input: what it writes for a
// terminal (tables, --json, errors quoting the input) holds no control byte but the line break,
// no C1 control and nothing that is not UTF-8, and shows each text as the console shows text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <random>

#include "tests/cli/console.h"
#include "tests/common/hostile_dump.h"

namespace {

using H = hostile::Heap;

std::string at(uint64_t first, size_t i) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "@%llx", static_cast<unsigned long long>(H::id(first, i)));
  return buf;
}

// Runs the console; its output and errors must be safe on a terminal and show each of `texts`.
clitest::Outcome run(const std::vector<std::string>& args, const std::vector<std::string>& texts,
                     const std::string& input = "") {
  const clitest::Outcome r = clitest::console(args, input);
  std::string words;
  for (const std::string& a : args) words += " " + a;
  SCOPED_TRACE(testing::PrintToString(words));
  EXPECT_EQ(hostile::terminalHazard(r.out), "") << testing::PrintToString(r.out);
  EXPECT_EQ(hostile::terminalHazard(r.err), "") << testing::PrintToString(r.err);
  for (const std::string& t : texts)
    EXPECT_NE((r.out + r.err).find(hostile::shown(t)), std::string::npos)
        << testing::PrintToString(hostile::shown(t)) << " not in "
        << testing::PrintToString(r.out + r.err);
  return r;
}

void checkConsole(const H& h, const std::string& input) {
  const std::string file =
      ::testing::TempDir() + "terminal-escaping-" + std::to_string(getpid()) + ".hprof";
  hproftest::HprofWriter::save(file, hostile::writeDump(h));
  const std::vector<std::string> heap{"--heap", file};
  auto with = [&](std::vector<std::string> words) {
    words.insert(words.begin(), heap.begin(), heap.end());
    return words;
  };
  std::vector<std::string> classes, threads;
  for (size_t i = 0; i < h.classNames.size(); ++i) classes.push_back(h.className(i));
  for (size_t i = 0; i < h.threadNames.size(); ++i) {
    threads.push_back(h.threadNames[i]);
    threads.push_back(h.methodNames[i]);
  }
  run(with({"classes"}), classes);
  run(with({"usage"}), classes);
  run(with({"threads"}), threads);
  run(with({"dominators"}), {});
  run(with({"--json", "classes"}), {});
  run(with({"--json", "threads"}), {});
  // Each object's commands, in one session.
  std::string lines;
  std::vector<std::string> texts;
  for (size_t i = 0; i < h.classNames.size(); ++i) {
    const std::string cls = at(H::kFirstClass, i), string = at(H::kFirstString, i);
    for (const std::string mode : {"", "--json "})
      lines += mode + "fields " + at(H::kFirstInstance, i) + "\n" + mode + "refs " + cls + "\n" +
               mode + "referrers " + string + "\n" + mode + "path " + string + "\n" + mode +
               "info " + string + "\n" + mode + "class-info " + cls + "\n";
    texts.insert(texts.end(),
                 {h.className(i), h.fieldNames[i], "S" + h.fieldNames[i], h.strings[i]});
  }
  run(with({"shell"}), texts, lines);
  // The user's own words, quoted back in errors: a handle, a class, an option's value, a line
  // of the shell.
  run(with({"info", "z" + input}), {"z" + input});
  run(with({"classes", "h/" + input}), {"h/" + input});
  run(with({"instances", "h/" + input}), {"h/" + input});
  run(with({"classes", "--limit", "z" + input}), {"z" + input});
  run(with({"--json", "info", "z" + input}), {});
  std::string line = input;  // without what the shell reads as quoting or between words
  for (const char c : std::string("\\\n\"' \t\r"))
    line.erase(std::remove(line.begin(), line.end(), c), line.end());
  run(with({"shell"}), {"z" + line}, "info z" + line + "\n");
  std::remove(file.c_str());
}

TEST(TerminalEscaping, every_hostile_piece_in_every_heap_text_and_input_is_shown_safely) {
  // Input short enough to be quoted whole (80 columns as shown).
  checkConsole(hostile::allInEveryText(),
               "&<>\"'%#\r\t\x01\x1b[2J\x7f\xff\xc3\xa9\xc2\x9b\xe0\x83\xa9\xf4\x90\x80\x80");
}

TEST(TerminalEscaping, random_heap_texts_are_shown_safely) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    H h;
    for (int i = 0; i < 3; ++i) {
      h.classNames.push_back(hostile::random(rng, 1 + rng() % 10));
      h.fieldNames.push_back(hostile::random(rng, 1 + rng() % 6));
      h.strings.push_back(hostile::random(rng, rng() % 16, true));
      h.threadNames.push_back(hostile::random(rng, rng() % 8, true));
      h.methodNames.push_back(hostile::random(rng, 1 + rng() % 6));
    }
    checkConsole(h, "x" + hostile::random(rng, 3));
  }
}

}  // namespace
