// A file of a base that was left out of its listing or index, and why.
#pragma once

#include <optional>
#include <string>

namespace zelk {

struct SkippedFile {
  std::string filename;                // display name or relative path
  std::string reason;                  // shown to the AI app as written
  std::optional<std::string> path;     // absolute path, when one is known
  std::optional<double> fileModified;  // seconds since 1970, when known
};

}  // namespace zelk
