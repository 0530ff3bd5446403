// The index of one base ({ID}.json): the sectioned and chunked text of each document, in the
// form shared with the desktop app's builder. Plain values; decode and encode are pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bases/skipped_file.h"

namespace zelk {

struct BaseIndex {
  static constexpr int kVersion = 2;  // an index has embeddings only from this version on
  static constexpr const char* kEmbeddingModel = "bge-small-en-v1.5";
  static constexpr int kPlacesVersion = 1;

  struct IndexEntry {
    std::string id;        // decimal text of a hash of the path; never used for matching
    std::string filename;  // display name
    std::string filePath;  // absolute path: the key for matching with a previous build
    std::vector<std::string> sections;
    std::vector<std::string> chunks;  // an absent key reads as none
    int64_t originalTokens = 0;
    int64_t optimizedTokens = 0;
    std::optional<int64_t> ocrPages;
    std::optional<double> fileModified;  // seconds since 1970
    std::optional<int64_t> fileSize;
    std::optional<int64_t> readerVersion;
    std::optional<int64_t> chunkerVersion;
  };

  std::optional<int64_t> version;
  std::string baseID;     // canonical upper-case UUID text
  double indexedAt = 0;   // seconds since 1970
  std::optional<std::string> embeddingModel;
  std::optional<int64_t> vectorDimension;
  std::vector<IndexEntry> entries;
  std::optional<std::vector<SkippedFile>> skippedFiles;
  std::optional<int64_t> placesVersion;
  // Our own keys (other readers ignore them): the checksums of the vectors and places files
  // this index was saved with (IndexChecksum text). Absent in indexes the desktop app writes.
  std::optional<std::string> vectorsChecksum;
  std::optional<std::string> placesChecksum;

  // Chunks over all entries.
  size_t totalChunks() const;
  // True when version >= 2 and vectorDimension > 0.
  bool hasEmbeddings() const;

  // nullopt when the text is not a valid index (a missing required key, a wrong type).
  static std::optional<BaseIndex> decode(std::string_view json);
  // Pretty-printed, keys in the order above, absent optionals left out.
  std::string encode() const;
};

}  // namespace zelk
