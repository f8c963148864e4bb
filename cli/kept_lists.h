// The instance lists a server's sessions were given, kept: the heap does not change while it is
// served, so a later page of one list (or the same page again) asks the library nothing. Only the
// handles are kept; a row's kind and class are read from the heap when it is shown.
//
// Bounded by the handles held (kMaxHandles): past it, the lists kept longest go first. Shared by
// the sessions of a server's threads; every member may be called from any of them.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cli {

class KeptLists {
 public:
  using Handles = std::vector<uint32_t>;
  static constexpr size_t kMaxHandles = size_t{8} << 20;  // 32 MB of handles

  // The list kept under key, or null.
  std::shared_ptr<const Handles> find(const std::string& key) const;
  // Keeps a list (one longer than the bound is not kept).
  void keep(const std::string& key, std::shared_ptr<const Handles> list);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const Handles>> lists_;
  std::deque<std::string> order_;  // keys, oldest first
  size_t handles_ = 0;
};

}  // namespace cli
