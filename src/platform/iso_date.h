// ISO 8601 internet date-times in UTC with whole seconds ("2026-10-11T22:16:00Z").
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelk::platform {

// Seconds since 1970 (fractions dropped) written as an ISO 8601 UTC date.
std::string iso8601(double secondsSince1970);
// Parses "YYYY-MM-DDTHH:MM:SSZ" (also with a "+00:00" offset or fractional seconds).
std::optional<double> parseISO8601(std::string_view text);
// Now as seconds since 1970, with sub-second precision.
double now();

}  // namespace zelk::platform
