// One tool call's placeholders: draws numbers from a connection's numbering and counts what the
// call hid and flagged. Used by one call on one thread; no lock of its own.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sensitive/placeholder_numbering.h"
#include "sensitive/placeholder_style.h"
#include "sensitive/sensitive_category.h"

namespace zelk {

class PlaceholderMap {
 public:
  // With the given numbering, or with a new empty one of its own when none is given.
  explicit PlaceholderMap(std::shared_ptr<PlaceholderNumbering> numbering = nullptr);

  // The placeholder for one found value ("[SSN 1]", or "•••6789" in the last4 style where that
  // is allowed); counts it and remembers its digits.
  std::string placeholder(SensitiveCategory category, const std::string& value,
                          PlaceholderStyle style);

  // A date written in one of several common ways, as "YYYY-MM-DD"; nullopt when it is none.
  static std::optional<std::string> calendarDate(const std::string& text);

  int totalHidden() const;
  // counts keyed by the categories' raw values.
  std::map<std::string, int> summary() const;
  // The values without those whose digits would reveal a hidden value; order kept.
  std::vector<std::string> filterOutHidden(const std::vector<std::string>& values) const;

  const std::shared_ptr<PlaceholderNumbering>& numbering() const { return numbering_; }
  const std::map<SensitiveCategory, int>& counts() const { return counts_; }
  const std::map<std::string, int>& flagged() const { return flagged_; }
  std::map<std::string, int>& flagged() { return flagged_; }
  const std::set<std::string>& hiddenDigits() const { return hiddenDigits_; }

 private:
  std::shared_ptr<PlaceholderNumbering> numbering_;
  std::map<SensitiveCategory, int> counts_;
  std::map<std::string, int> flagged_;
  std::set<std::string> hiddenDigits_;
};

}  // namespace zelk
