// The size limit of whole-file reads: 50 MB for workbooks, 100 MB for everything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zelk::FileLimit {

struct Excess {
  int64_t size;  // bytes, from the file's attributes
  int limit;     // MB
};

// Bytes in one MB for these limits.
inline constexpr int64_t kMB = 1048576;

// The limit in MB for this path: 50 when the lower-cased extension is "xlsx", else 100.
int limitMB(const std::string& path);
// (size, limit) when the file is strictly larger than its limit; nullopt otherwise, and when
// the size can't be read.
std::optional<Excess> exceeds(const std::string& path);
// "{mb} MB, over zelk's {limit} MB limit", the size's MB rounded down.
std::string reason(const Excess& excess);

}  // namespace zelk::FileLimit
