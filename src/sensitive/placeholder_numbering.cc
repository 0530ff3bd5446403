#include "sensitive/placeholder_numbering.h"

namespace zelk {
namespace {

std::mutex& slotLock() {
  static std::mutex* m = new std::mutex;  // lives for the process
  return *m;
}

std::shared_ptr<PlaceholderNumbering>& slot() {
  static auto* s = new std::shared_ptr<PlaceholderNumbering>;
  return *s;
}

}  // namespace

int PlaceholderNumbering::number(SensitiveCategory category, const std::string& key) {
  std::lock_guard guard(lock_);
  if (auto it = numbers_.find(key); it != numbers_.end()) return it->second;
  int n = next_[category] + 1;
  next_[category] = n;
  numbers_[key] = n;
  return n;
}

std::shared_ptr<PlaceholderNumbering> PlaceholderNumbering::connection() {
  std::lock_guard guard(slotLock());
  return slot();
}

void PlaceholderNumbering::setConnection(std::shared_ptr<PlaceholderNumbering> numbering) {
  std::lock_guard guard(slotLock());
  slot() = std::move(numbering);
}

}  // namespace zelk
