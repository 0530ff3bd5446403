// The user's choice of action per category and the placeholder style. A plain value; `current`
// reads the shared settings afresh on every call and is callable from any thread.
#pragma once

#include <map>
#include <string>

#include "sensitive/placeholder_style.h"
#include "sensitive/sensitive_action.h"
#include "sensitive/sensitive_category.h"

namespace zelk {

struct SensitiveRules {
  // A category missing from the map is redacted.
  std::map<SensitiveCategory, SensitiveAction> actions;
  PlaceholderStyle style = PlaceholderStyle::labeled;

  // All eighteen categories: the identifiers redact, the four text categories off; labeled.
  static const SensitiveRules& defaults();
  // The defaults adjusted by the settings file; never cached.
  static SensitiveRules current();
  // The defaults adjusted by a settings map and style text (what `current` reads). A stored
  // "flag" is read as redact; unknown categories and actions are skipped.
  static SensitiveRules fromSettings(const std::map<std::string, std::string>& rules,
                                     const std::string& style);

  // The action redaction applies: the map's entry, or redact when there is none.
  SensitiveAction actionFor(SensitiveCategory category) const;
};

}  // namespace zelk
