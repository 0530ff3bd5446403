// What the user wants done with one category of sensitive value.
#pragma once

#include <optional>
#include <string_view>

namespace zelk {

enum class SensitiveAction {
  redact,  // replace the value by a placeholder
  flag,    // leave the value, count it
  off,     // neither
};

inline std::string_view toString(SensitiveAction action) {
  switch (action) {
    case SensitiveAction::redact: return "redact";
    case SensitiveAction::flag: return "flag";
    case SensitiveAction::off: return "off";
  }
  return "redact";
}

inline std::optional<SensitiveAction> sensitiveActionFromString(std::string_view raw) {
  if (raw == "redact") return SensitiveAction::redact;
  if (raw == "flag") return SensitiveAction::flag;
  if (raw == "off") return SensitiveAction::off;
  return std::nullopt;
}

}  // namespace zelk
