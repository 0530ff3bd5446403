// Turns a tool's file argument (a full path, or a document's name as the base tools show it,
// optionally with its base) into one file path. Safe to call from any thread: it reads the
// bases through BaseManager, which guards its own list.
#pragma once

#include <optional>
#include <string>

namespace zelk::MCPTools {

// The absolute path of the file the argument names. Throws MCPToolError::refused with a message
// that says what to pass instead when no base or several bases hold such a file, or when
// baseName names no base.
std::string resolveFile(const std::string& path,
                        const std::optional<std::string>& baseName = std::nullopt);

}  // namespace zelk::MCPTools
