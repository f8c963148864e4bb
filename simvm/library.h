// Loads libTavolin2 by name and binds its exported stubs by symbol, as the VM does, and a typed
// caller that fills argument slots, calls a stub and decodes what comes back.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "simvm/vm.h"

namespace simvm {

using Stub = uint32_t* (*)(uint32_t* slots, void* ee);

class Library {
 public:
  // dir: the folder holding libTavolin2.so; empty means the dynamic loader's own search.
  // privateCopy: load a private copy of the file, so that the library's caches start empty
  // (a test that makes many VMs in one process wants this).
  explicit Library(const std::string& dir = "", bool privateCopy = false);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  const std::string& path() const;
  // The stub for a native method name ("getClasses0"); null when the library lacks it.
  Stub stub(const std::string& method) const;
  static std::string stubSymbol(
      const std::string& method);  // Java_com_norvane_debug_Tavolin_<m>_stub
  // ../lib beside the running program (an install, or the build tree), then the build tree's
  // library folder, then the program's own folder.
  static std::string defaultDir();

 private:
  void* handle_ = nullptr;
  std::string path_;
  std::string copy_;
};

// One record of a report stream.
struct Record {
  char kind = 0;  // 'C', 'I', 'A'
  uint32_t handle = 0;
  std::string className;
  std::string detail;  // "" when none; a name (with "()" for methods) or a decimal number
};

struct Report {
  std::string bytes;  // the raw stream, exactly as written
  int32_t count = 0;
  std::vector<Record> records;
};

struct UsageRecord {
  std::string className;
  int32_t count = 0;
  int64_t bytes = 0;
};

struct UsageReport {
  std::string bytes;
  int32_t count = 0;
  std::vector<UsageRecord> records;
};

struct PathResult {
  uint32_t array = 0;             // the int array handle, 0 on failure
  std::vector<uint32_t> handles;  // root first
  std::string message;            // the message stored on failure
};

// The records whose class name and detail are wanted: a list of which one page is shown needs
// the others' kinds and handles only. Every record is checked alike.
struct NamedRecords {
  size_t first = 0;
  size_t end = SIZE_MAX;
};

// Decoding errors (a count that does not match the records, a record without a NUL) raise
// VmError: a report that does not decode is a fault in the library.
Report decodeReport(std::string bytes, NamedRecords named = {});
UsageReport decodeUsageReport(std::string bytes);

class Caller {
 public:
  Caller(Vm& vm, const Library& library);

  std::string classInfo(uint32_t h);
  std::string handleInfo(uint32_t h);
  Report classes(const std::string& prefix, bool creditSuperclasses, bool sortByCount);
  Report handles(uint32_t cls, bool includeSubclasses, int32_t arrays, NamedRecords named = {});
  Report references(uint32_t h);
  Report referrers(uint32_t h);
  PathResult path(uint32_t target, int32_t maxNodes);
  UsageReport usage(const std::string& prefix);

  // Calls a stub with the given slots; returns the index of the slot the stub returned
  // (0 or 1), slots updated in place. Raises VmError when the library lacks the stub.
  int call(const std::string& method, std::vector<uint32_t>& slots);

  // The census and the usage of the heap alone: as classes() and usage(), less what the
  // caller's own objects for the call (prefix String, output stream) added. The raw bytes
  // stay the library's (simvm/call_objects.cpp).
  Report heapClasses(const std::string& prefix, bool creditSuperclasses, bool sortByCount);
  UsageReport heapUsage(const std::string& prefix);

  // The objects this caller made for its last query (the prefix String and its char array,
  // the output stream, the message array), which the heap held while the query ran.
  const std::vector<uint32_t>& callObjects() const { return made_; }

  // What the objects of the last usage() call added to its rows, by class name; false when they
  // hold something whose charge only the query can tell (measured again then).
  bool callUsage(const std::string& prefix, std::map<std::string, UsageRecord>& added) const;

 private:
  Vm& vm_;
  const Library& lib_;
  std::vector<uint32_t> made_;
};

}  // namespace simvm
