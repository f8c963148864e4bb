// An earlier dump of the same program (--baseline): its census, taken once, to compare the heap
// the console has open with.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"

namespace cli {

struct BaselineRow {
  int64_t count = 0;
  std::optional<int64_t> bytes;  // the usage query's bytes; instances only (kind C)
};

struct Baseline {
  std::string file;
  // By kind and class ("C com/acme/Foo"), as the census reports them, plain and with every
  // object counted for its superclasses too.
  std::map<std::string, BaselineRow> rows, creditedRows;
  std::vector<uint64_t> ids;  // the dump ids of its objects and classes, sorted

  static std::string key(char kind, const std::string& className) {
    return std::string(1, kind) + ' ' + className;
  }
  bool hasId(uint64_t id) const;
};

// Loads options.baseline, takes its census and usage, and closes it again (the stand-in VM of
// one heap at a time). Raises CliError when the dump cannot be read.
std::shared_ptr<const Baseline> loadBaseline(const GlobalOptions& options);

}  // namespace cli
