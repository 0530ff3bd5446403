// How a hidden value is shown: "[SSN 1]" or three bullets and the last four digits.
#pragma once

#include <optional>
#include <string_view>

namespace zelk {

enum class PlaceholderStyle {
  labeled,
  last4,
};

inline std::string_view toString(PlaceholderStyle style) {
  return style == PlaceholderStyle::last4 ? "last4" : "labeled";
}

inline std::optional<PlaceholderStyle> placeholderStyleFromString(std::string_view raw) {
  if (raw == "labeled") return PlaceholderStyle::labeled;
  if (raw == "last4") return PlaceholderStyle::last4;
  return std::nullopt;
}

}  // namespace zelk
