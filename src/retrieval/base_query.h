// Answering a question from one base's index files: the passages in scope, their vectors, the
// base's keyword terms and statistics (kept with the base's cache record), a place blend for
// the folders a question names, and older versions pushed behind newer ones; the keyword-only
// ranking when there are no usable vectors. Also the same ranking over passages of files that
// are in no index, and the answerability floor over a result.
//
// Thread safety: any thread may call any operation; several questions may run at once.
// Derived data is read and stored under the indexer's cacheLock (through withCached); the
// place-vector memo has its own lock (State::lock). Tokenising, reading and embedding run
// outside both locks, so two questions may compute the same thing and the later store wins.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bases/base_indexer.h"
#include "retrieval/smart_select.h"
#include "retrieval/version_groups.h"

namespace zelk {

class BaseQuery {
 public:
  // A passage of a file that is in no index.
  struct QueryPassage {
    std::string text;
    std::string filename;
    std::string location;
  };
  struct Places {
    std::vector<float> flat;        // one place vector per entry
    std::vector<float> passageDot;  // per passage (global order): its vector times its place's
    std::optional<FileStamp> modified;
  };

  // Over BaseIndexer::shared().
  static BaseQuery& shared();
  explicit BaseQuery(BaseIndexer& indexer);

  // nullopt when the base has no index, or the vector path found no passage in scope.
  // scopeFiles: display names (null or empty: the whole base); queryVector: the question's
  // vector when the caller already has it.
  std::optional<CrossDocResult> query(const std::string& baseID, const std::string& query,
                                      const std::set<std::string>* scopeFiles = nullptr,
                                      std::optional<int64_t> tokenBudget = std::nullopt,
                                      bool floor = false,
                                      std::optional<std::span<const float>> queryVector = {},
                                      int64_t nextPassages = 0);

  // nullopt when no model is installed, an embedding fails or nothing is left to rank.
  std::optional<CrossDocResult> queryEphemeralOnDemand(
      const std::vector<QueryPassage>& chunks, const std::string& query,
      const std::set<std::string>& scopeFiles = {},
      std::optional<int64_t> tokenBudget = std::nullopt,
      std::optional<int64_t> shortlistK = std::nullopt);

  // The folders (ancestors of the entries' display names) that the question names.
  static std::vector<std::string> namedFolders(const std::string& query,
                                               const std::vector<std::string>& filenames,
                                               const std::vector<uint32_t>& chunkEntry,
                                               const SmartSelect::PassageTerms& chunkTokens);
  // What supersededFiles needs from an index's paths alone (kept with the base's cache record).
  struct Versions {
    VersionGroups::Analysis analysis;
    std::vector<std::string> paths;                          // the entries' filePath
    std::map<std::string, std::string> nameOfPath;           // the first entry's display name
    std::map<std::string, std::set<std::string>> ownWords;   // name terms that are not stem terms
    static Versions of(const BaseIndex& index);
  };
  // Display names of documents held behind a newer version.
  static std::set<std::string> supersededFiles(const BaseIndex& index, const std::string& query,
                                               const Versions* versions = nullptr);

  // Vectors of place texts: known ones from the memo, up to 400 missing ones embedded now,
  // more in the background (then nullopt until it finishes). nullopt without a model.
  std::optional<std::map<std::string, std::vector<float>>> placeVectors(
      const std::vector<std::string>& texts);
  // True while a background place embedding runs.
  bool namedPlacesPending();

  // Per-base derived data, cached with the base's current index.
  std::shared_ptr<const SmartSelect::TermLists> cachedChunkTokens(
      const std::string& baseID, const std::shared_ptr<const BaseIndex>& index);
  std::shared_ptr<const SmartSelect::TermCounts> cachedTermCounts(
      const std::string& baseID, const std::shared_ptr<const BaseIndex>& index,
      const std::shared_ptr<const SmartSelect::TermLists>& chunkTokens);
  std::shared_ptr<const Places> cachedPlaces(const std::string& baseID,
                                             const std::shared_ptr<const BaseIndex>& index,
                                             const std::vector<float>& flat, size_t dim);

  // The answerability floor: grades the result with the judge the provider holds.
  static CrossDocResult applyFloor(CrossDocResult result, const std::string& query);

  static constexpr size_t kPlaceEmbedNow = 400;

 private:
  struct State {
    std::mutex lock;  // guards the two fields below
    std::map<std::string, std::vector<float>> namedPlaceVectors;
    bool namedPlacesPending = false;
  };

  std::optional<CrossDocResult> keywordPath(const BaseIndex& index,
                                            const std::set<std::string>* scope,
                                            const std::string& query, bool floor);

  BaseIndexer& indexer_;
  // Shared with the background place embedding, which holds it only weakly.
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace zelk
