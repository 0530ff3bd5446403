// The summary of an index ({ID}.summary.json): what the status and re-index checks need without
// loading the index itself. Plain values.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bases/base_index.h"
#include "bases/skipped_file.h"

namespace zelk {

struct IndexSummary {
  struct File {
    std::string path;
    std::optional<double> modified;
    std::optional<std::string> name;
    std::optional<int64_t> reader;
    std::optional<int64_t> chunker;
  };
  struct Skip {
    std::optional<std::string> path;
    std::string reason;
    std::optional<std::string> name;
    std::optional<double> modified;
  };

  double indexedAt = 0;
  std::vector<File> files;
  std::vector<std::string> skippedReasons;  // the older form
  std::optional<std::vector<Skip>> skipped;
  std::optional<bool> hasEmbeddings;
  std::optional<int64_t> places;

  IndexSummary() = default;
  explicit IndexSummary(const BaseIndex& index);

  // Written by a current builder: hasEmbeddings and skipped present, every file named.
  bool isCurrent() const;
  // The files' names, or the last path component of a file without one.
  std::set<std::string> fileNames() const;
  // From skipped when present, else one record per skippedReasons entry, named "a file".
  std::vector<SkippedFile> failedFiles() const;

  static std::optional<IndexSummary> decode(std::string_view json);
  // Compact JSON.
  std::string encode() const;
};

}  // namespace zelk
