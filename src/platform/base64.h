// Base64 (standard alphabet, padded).
#pragma once

#include <string>
#include <string_view>

namespace zelk::platform {
std::string base64Encode(std::string_view bytes);
}
