// The application mark as PNG files, embedded at build time from assets/.
#pragma once

#include <string_view>

namespace zelk::icons {
std::string_view png32();
std::string_view png192();
}  // namespace zelk::icons
