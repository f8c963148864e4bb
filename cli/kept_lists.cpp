#include "cli/kept_lists.h"

namespace cli {

std::shared_ptr<const KeptLists::Handles> KeptLists::find(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = lists_.find(key);
  return it == lists_.end() ? nullptr : it->second;
}

void KeptLists::keep(const std::string& key, std::shared_ptr<const Handles> list) {
  if (!list || list->size() > kMaxHandles) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (lists_.count(key)) return;  // another thread asked for the same list meanwhile
  while (handles_ + list->size() > kMaxHandles && !order_.empty()) {
    const auto oldest = lists_.find(order_.front());
    handles_ -= oldest->second->size();
    lists_.erase(oldest);
    order_.pop_front();
  }
  handles_ += list->size();
  order_.push_back(key);
  lists_.emplace(key, std::move(list));
}

}  // namespace cli
