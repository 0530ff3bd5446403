// Whole-file reads and atomic replacement (write a temporary beside the target, then rename).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelk::platform {

// Writes data to a temporary file in path's folder, flushes it and renames it over path.
// The temporary is removed on any failure. Returns false on failure; never throws.
// durable=false skips the flush to disk, for small markers whose loss in a crash is harmless.
bool writeFileAtomically(const std::string& path, std::string_view data, bool durable = true);
// Reads a whole file, refusing files larger than maxBytes. nullopt when unreadable.
std::optional<std::string> readFile(const std::string& path,
                                    size_t maxBytes = size_t(1) << 30);
// mkdir -p; true when the directory exists afterwards.
bool createDirectories(const std::string& path);

}  // namespace zelk::platform
