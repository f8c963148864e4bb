#include "tests/cli/console.h"

#include <sstream>

#include "cli/demo_heap.h"

namespace clitest {

DemoInProcess::DemoInProcess(bool high)
    : heap(cli::demoHeapConfig(high)), demo(cli::buildDemoHeap(heap.vm)) {}

std::string hex(uint32_t h) { return testkit::hex(h); }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::string lineWith(const std::string& text, const std::string& needle) {
  for (const std::string& line : lines(text))
    if (line.find(needle) != std::string::npos) return line;
  return "";
}

}  // namespace clitest
