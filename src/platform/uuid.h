// Random (version 4) UUIDs in the canonical upper-case 36-character form.
#pragma once

#include <optional>
#include <string>

namespace zelk::platform {
std::string randomUUID();
// The UUID in upper case, or nullopt when the text is not 8-4-4-4-12 hexadecimal digits.
std::optional<std::string> canonicalUUID(const std::string& text);
}
