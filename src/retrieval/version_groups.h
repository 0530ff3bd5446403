// Versions of one document among a base's files ("report v2", "report final", "report (1)"),
// and which of them are older. Stateless; any thread may call it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelk::VersionGroups {

struct Stem {
  std::string stem;
  std::optional<std::vector<int64_t>> version;
  int finality = 0;  // 0, 1 (revised, updated, latest, clean) or 2 (final, signed)
};

struct Pair {
  std::string old;
  std::string current;  // the newest of the group
  bool confident = false;
};

// The marker expression: version numbers, copy numbers and status words.
const char* markers();
// Extensions in which one document may be saved interchangeably.
bool isDocumentType(const std::string& lowerExtension);

// Files are absolute paths.
Stem stem(const std::string& path);
std::optional<std::string> groupKey(const std::string& path);

// What superseded() derives from the paths alone: the groups of two or more files that can give
// pairs, with their stems. Computing it is the costly part, so a base's is kept with its index.
struct Analysis {
  struct Member {
    size_t index;  // into the paths
    Stem stem;
  };
  std::vector<std::vector<Member>> groups;  // in the order of each group's first file
};
Analysis analyze(const std::vector<std::string>& paths);

// Modification dates are read from the files only when a group needs them to order its files;
// `modified` replaces that reading (nullopt: unreadable, counted as the distant past).
using DateReader = std::function<std::optional<double>(const std::string&)>;
std::vector<Pair> superseded(const std::vector<std::string>& paths,
                             const DateReader& modified = nullptr);
std::vector<Pair> superseded(const Analysis& analysis, const std::vector<std::string>& paths,
                             const DateReader& modified = nullptr);

}  // namespace zelk::VersionGroups
