// Reading a file that this process may not open, through the desktop app's read service.
#pragma once

#include <optional>
#include <string>

namespace zelk {

namespace ReadService {
// The path of a readable copy made by the app, or nullopt. The caller reads the copy and
// deletes it. The read-service client (the "read.sock" exchange) has not landed yet: this
// always gives nullopt, so callers refuse with MCPTools::blockedMessage.
std::optional<std::string> borrow(const std::string& path);
}  // namespace ReadService

namespace MCPTools {
// False only when opening the file read-only fails with EPERM or EACCES.
bool canOpen(const std::string& path);
// The refusal for a file no copy could be had of (the Linux text: there is no privacy layer
// between an AI app and the user's files here).
std::string blockedMessage(const std::string& path);
}  // namespace MCPTools

}  // namespace zelk
