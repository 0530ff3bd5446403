// Random (version 4) UUIDs in the canonical upper-case 36-character form.
#pragma once

#include <string>

namespace zelk::platform {
std::string randomUUID();
}
