// One connection's numbering of hidden values, so that one value keeps one placeholder number
// for as long as the AI app stays connected. `number` may be called from several threads at
// once; `lock_` guards both maps. Shared by reference (std::shared_ptr) because the connection
// slot and every call's PlaceholderMap hold the same numbering.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sensitive/sensitive_category.h"

namespace zelk {

class PlaceholderNumbering {
 public:
  PlaceholderNumbering() = default;
  PlaceholderNumbering(const PlaceholderNumbering&) = delete;
  PlaceholderNumbering& operator=(const PlaceholderNumbering&) = delete;

  // The number of `key` in `category`: the one it already has, else the category's next.
  int number(SensitiveCategory category, const std::string& key);

  // The numbering of the connection being served now (nullptr before a front end sets one).
  // Written by the stdio server at start and by the HTTP transport on its work queue; the
  // accessors take a small lock of their own so that a reader never sees a torn pointer.
  static std::shared_ptr<PlaceholderNumbering> connection();
  static void setConnection(std::shared_ptr<PlaceholderNumbering> numbering);

 private:
  std::mutex lock_;
  std::map<std::string, int> numbers_;       // guarded by lock_
  std::map<SensitiveCategory, int> next_;    // guarded by lock_
};

}  // namespace zelk
