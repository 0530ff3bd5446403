// The index files of every base, in the "indexes" folder: reading them into a per-base cache
// keyed by the files' modification stamps, staged saves, the summary and the progress marker.
//
// Thread safety: any thread may call any operation. cacheLock_ guards cache_ and nothing else;
// files are read and decoded outside it and the result is stored afterwards (the last store
// wins). Cached values are immutable and shared with the callers that are ranking on them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bases/base_index.h"
#include "bases/base_manager.h"
#include "bases/index_summary.h"

namespace zelk {

// What identifies one version of a file: its modification time to the nanosecond, its size and
// its inode. A save replaces files by renaming, so the inode changes even when the clock's
// granularity gives two versions the same time.
struct FileStamp {
  int64_t modifiedNs = 0;
  int64_t size = 0;
  uint64_t inode = 0;
  bool operator==(const FileStamp&) const = default;
};
// nullopt when the file's attributes cannot be read.
std::optional<FileStamp> fileStamp(const std::string& path);

struct IndexSaveError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Raw little-endian float32 files ({ID}.vec, {ID}.place).
struct VectorStore {
  struct Read {
    std::vector<float> floats;  // floor(bytes / 4) values; a remainder is ignored
    FileStamp stamp;            // of the file that was read
    std::string checksum;       // IndexChecksum text of the bytes read
  };
  // nullopt when the file cannot be read.
  static std::optional<Read> read(const std::string& path);
  // Concatenates the vectors and replaces the file atomically. Throws IndexSaveError.
  static void write(const std::vector<std::vector<float>>& vectors, const std::string& path);
};

class BaseIndexer {
 public:
  // Data that the query side derives from one base's files (terms, statistics, place products).
  // It lives in the base's cache record and goes with it.
  struct Derived {
    virtual ~Derived() = default;
  };
  struct Cached {
    std::shared_ptr<const BaseIndex> index;
    FileStamp indexModified;
    std::shared_ptr<const std::vector<float>> flat;
    std::optional<FileStamp> flatModified;
    // A vectors file that was read and found not to belong to this index; not read again
    // while its stamp is unchanged.
    std::optional<FileStamp> flatRefused;
    std::shared_ptr<Derived> derived;
  };
  struct Status {
    int64_t done = 0;
    int64_t total = 0;
  };

  // Over platform::indexesDir(), created on first use.
  static BaseIndexer& shared();
  // Over another folder (tests, developer modes); creates it, ignoring failure.
  explicit BaseIndexer(std::string indexesDir);

  const std::string& indexesURL() const { return indexesURL_; }
  // {indexes}/{baseID}{suffix}, suffix one of ".json", ".vec", ".place", ".summary.json", ...
  std::string fileURL(const std::string& baseID, const std::string& suffix) const;

  // The decoded index; the cached one while {ID}.json is unchanged. nullptr when the file is
  // missing or unreadable.
  std::shared_ptr<const BaseIndex> load(const std::string& baseID);
  // The passage vectors of the base's current index: nullptr unless the index has embeddings
  // and {ID}.vec holds exactly vectorDimension x totalChunks floats (and matches the checksum
  // the index recorded, when it recorded one). Cached while {ID}.vec is unchanged. With an
  // index (one that load gave), the vectors must belong to that index, so that a build swapping
  // files meanwhile cannot pair it with another build's vectors.
  std::shared_ptr<const std::vector<float>> cachedFlatVectors(
      const std::string& baseID, std::shared_ptr<const BaseIndex> index = nullptr);

  // Saves an index. Without vectors: {ID}.json atomically. With vectors: stages {ID}.vec.new,
  // {ID}.place.new (when places are given) and {ID}.json.new, then renames them into place in
  // that order. The saved index records the checksums of the files written with it; without
  // places it claims no places. Then writes the summary. Throws IndexSaveError; a failure while
  // staging leaves the previous files untouched. vectors: one per chunk in entry order; places:
  // one per entry; each of vectorDimension floats.
  void save(BaseIndex index, const std::vector<std::vector<float>>* vectors = nullptr,
            const std::vector<std::vector<float>>* places = nullptr);

  // {ID}.summary.json from the index, atomically; errors are ignored.
  void writeSummary(const BaseIndex& index);
  // The current summary; rebuilt from an index of at most 25,000,000 bytes when the summary
  // file is missing or older; else whatever summary could be read.
  std::optional<IndexSummary> summary(const std::string& baseID);

  // {ID}.indexing with this process's id and the time; errors are ignored.
  void writeIndexingStatus(const std::string& baseID, int64_t done, int64_t total);
  // The progress of a live build; a marker left by a process that has ended is deleted.
  std::optional<Status> indexingStatus(const std::string& baseID);
  // Deletes {ID}.indexing (a build's last step, whatever its outcome).
  void removeIndexingStatus(const std::string& baseID);

  // Deletes the base's index files (missing ones are fine) and drops its cache entry.
  void remove(const std::string& baseID);
  void evictCache(const std::string& baseID);

  // Runs fn with the base's cache record (nullptr when none) under cacheLock. fn must be quick
  // and must not call back into this object.
  template <class F>
  void withCached(const std::string& baseID, F&& fn) {
    std::lock_guard<std::mutex> hold(cacheLock_);
    auto it = cache_.find(baseID);
    fn(it == cache_.end() ? nullptr : &it->second);
  }

  static constexpr int64_t kSummaryRebuildLimit = 25'000'000;

 private:
  std::string indexesURL_;
  std::mutex cacheLock_;                   // guards cache_
  std::map<std::string, Cached> cache_;    // by base id
};

// The resolved files that the index neither holds (by display name) nor lists as skipped, in
// listing order.
std::vector<BaseManager::ResolvedFile> unindexedFiles(
    const std::vector<BaseManager::ResolvedFile>& files, const BaseIndex& index);
std::vector<BaseManager::ResolvedFile> unindexedFiles(
    const std::vector<BaseManager::ResolvedFile>& files, const IndexSummary& summary);

}  // namespace zelk
