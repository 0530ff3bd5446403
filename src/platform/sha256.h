// SHA-256 through libcrypto.
#pragma once

#include <string>
#include <string_view>

namespace zelk::platform {
// Lower-case hexadecimal digest of data.
std::string sha256Hex(std::string_view data);
}
