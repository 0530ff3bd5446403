// The first-name list shipped with the program (data/first_names.txt, compiled in).
#pragma once

#include <string_view>

namespace zelk::sensitive_internal {

// One lower-case name per line; lines starting with "#" are comments.
std::string_view firstNamesData();

}  // namespace zelk::sensitive_internal
