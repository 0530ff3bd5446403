#include "sensitive/sensitive_rules.h"

#include "ledger/zelk_shared.h"

namespace zelk {

const SensitiveRules& SensitiveRules::defaults() {
  static const SensitiveRules rules = [] {
    SensitiveRules r;
    for (SensitiveCategory c : allSensitiveCategories()) {
      r.actions[c] = isTextCategory(c) ? SensitiveAction::off : SensitiveAction::redact;
    }
    r.style = PlaceholderStyle::labeled;
    return r;
  }();
  return rules;
}

SensitiveRules SensitiveRules::fromSettings(const std::map<std::string, std::string>& rules,
                                            const std::string& style) {
  SensitiveRules r = defaults();
  for (const auto& [key, value] : rules) {
    auto category = sensitiveCategoryFromString(key);
    auto action = sensitiveActionFromString(value);
    if (!category || !action) continue;
    // The app's "flag" choice is honoured as redact: nothing flagged may leave unhidden.
    r.actions[*category] = *action == SensitiveAction::off ? SensitiveAction::off
                                                           : SensitiveAction::redact;
  }
  if (auto s = placeholderStyleFromString(style)) r.style = *s;
  return r;
}

SensitiveRules SensitiveRules::current() {
  return fromSettings(ZelkShared::sensitiveRules(), ZelkShared::placeholderStyle());
}

SensitiveAction SensitiveRules::actionFor(SensitiveCategory category) const {
  auto it = actions.find(category);
  return it == actions.end() ? SensitiveAction::redact : it->second;
}

}  // namespace zelk
