// Hybrid passage ranking: embedding similarity and BM25 keyword scores fused by reciprocal
// rank, a character budget filled with the best passages, near copies removed, following
// passages added and superseded documents pushed back; and the older keyword-only selections.
// Everything here is a pure function of its inputs (plus settings read once per process), so
// any thread may call it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "retrieval/retrieval_chunker.h"

namespace zelk {

enum class MatchQuality { high, low, none, unknown };
const char* toString(MatchQuality quality);
std::optional<MatchQuality> matchQualityFromString(std::string_view text);

struct CrossDocHit {
  std::string excerpt;
  std::string filename;
  std::string sourceLocation;
  double relevance = 0;
  std::string sectionID;
  int64_t tokens = 0;
  bool follows = false;
};

struct CrossDocResult {
  std::vector<CrossDocHit> hits;
  double confidence = 0;
  int64_t documentsSearched = 0;
  int64_t documentsWithHits = 0;
  MatchQuality matchQuality = MatchQuality::unknown;
  std::map<std::string, double> docRelevance;
  std::vector<CrossDocHit> heldBack;
  std::vector<std::string> namedFolders;
  std::set<std::string> supersededFiles;
};

struct SmartSelectResult {
  std::string text;
  std::string location;
  double confidence = 0;
};

// The ranking's settings, each read from the environment once per process.
struct RankingSettings {
  float placeWeight = 0;         // ZELK_PLACE_WEIGHT; 0 when unset or not a number
  float namedPlaceWeight = 0.7;  // ZELK_NAMED_PLACE_WEIGHT; 0.7 when unset or not a number
  std::optional<int64_t> shortlistK;  // ZELK_SHORTLIST_K; unset: none; not an integer: 0
  std::optional<int64_t> shortlistKInteger;  // ZELK_SHORTLIST_K when it is an integer
  bool nearCopies = true;        // ZELK_NEAR_COPIES != "0"
  bool versionsLast = true;      // ZELK_VERSIONS_LAST != "0"

  static const RankingSettings& current();
  // Reads the environment again. For tests, before any ranking runs on another thread.
  static void reloadForTesting();
};

namespace SmartSelect {

// "the", "a", "an", "is", ... (16 words).
const std::set<std::string, std::less<>>& stopwords();
inline float placeWeight() { return RankingSettings::current().placeWeight; }

// Lower-cased runs of letters and digits of 2 or more characters, in order.
std::vector<std::string> tokenize(std::string_view text);
// tokenize without the stop words.
std::vector<std::string> questionTerms(std::string_view text);
// "Taxes/2024/W2 form.pdf" -> "W2 form · Taxes · 2024".
std::string place(std::string_view filename);
// Characters (user-perceived) of a text.
size_t characters(std::string_view text);

// The keyword terms of a list of passages in a compact form: an interned vocabulary, each
// passage's number of terms, and for each term the passages containing it with their counts.
// Immutable once built; shared between the cache and the questions ranking on it.
class TermLists {
 public:
  struct Posting {
    uint32_t passage;
    uint32_t count;
  };
  // One slot of the vocabulary's open-addressing table.
  struct Slot {
    uint64_t head = 0;    // the term's first 8 bytes, zero-padded
    uint32_t id1 = 0;     // term id + 1; 0: empty
    uint32_t length = 0;  // bytes
  };

  class Builder {
   public:
    // Terms of the next passage come from one or more texts, in order, then endPassage().
    // Room for the terms of about this much text (optional).
    void reserve(size_t textBytes);
    void addText(std::string_view text);
    void addTerms(const std::vector<std::string>& terms);
    void endPassage();
    TermLists finish();

   private:
    friend class TermLists;
    void addTerm(std::string_view term);
    uint32_t intern(std::string_view term);
    void grow();

    std::string arena_;
    std::vector<uint32_t> offsets_{0};
    std::vector<Slot> table_;
    std::vector<uint32_t> current_;  // count of each term in the passage being built
    std::vector<uint32_t> seen_;     // ids met in the passage being built
    std::vector<uint32_t> lengths_;
    struct Triple {
      uint32_t term, passage, count;
    };
    std::vector<Triple> triples_;
    uint32_t passageLength_ = 0;
    std::string scratch_;
  };

  static TermLists fromLists(const std::vector<std::vector<std::string>>& lists);

  size_t size() const { return lengths_.size(); }
  uint32_t length(size_t passage) const { return lengths_[passage]; }
  uint64_t totalLength() const { return totalLength_; }
  size_t vocabularySize() const { return offsets_.size() - 1; }
  std::optional<uint32_t> find(std::string_view term) const;
  std::string_view term(uint32_t id) const {
    return std::string_view(arena_).substr(offsets_[id], offsets_[id + 1] - offsets_[id]);
  }
  std::span<const Posting> postings(uint32_t id) const {
    return std::span<const Posting>(postings_).subspan(starts_[id], starts_[id + 1] - starts_[id]);
  }
  // Bytes held, for the memory figures.
  size_t memoryBytes() const;

 private:
  std::string arena_;
  std::vector<uint32_t> offsets_{0};
  std::vector<Slot> table_;
  std::vector<uint32_t> lengths_;
  uint64_t totalLength_ = 0;
  std::vector<uint32_t> starts_{0};
  std::vector<Posting> postings_;
};

// The terms the ranking reads for each passage: a TermLists, optionally with terms put in front
// of some passages (the named-folder blend puts a document's place terms before its passages').
struct PassageTerms {
  const TermLists* lists = nullptr;
  // Empty, or one per passage: an index into prefixes, or -1.
  std::vector<int32_t> prefixOf;
  std::vector<std::vector<std::string>> prefixes;

  size_t size() const { return lists ? lists->size() : 0; }
};

// Keyword statistics of a base.
struct TermCounts {
  std::unordered_map<std::string, uint32_t> counts;  // passages containing the term
  std::unordered_map<std::string, std::vector<std::string>> byPrefix;  // first two characters
};

std::vector<double> bm25Scores(const PassageTerms& chunkTokens,
                               const std::vector<std::string>& queryTokens);
std::vector<double> bm25Scores(const std::vector<std::vector<std::string>>& chunkTokens,
                               const std::vector<std::string>& queryTokens);
std::vector<uint32_t> bm25Shortlist(const PassageTerms& chunkTokens, std::string_view queryText,
                                    int64_t k);
TermCounts termCounts(const TermLists& chunkTokens);
TermCounts termCounts(const std::vector<std::vector<std::string>>& chunkTokens);
std::vector<std::string> spellingVariants(const std::vector<std::string>& tokens,
                                          const TermCounts& termCounts);
// Levenshtein distance in characters.
size_t editDistance(std::string_view a, std::string_view b);

// One candidate passage. The texts are borrowed from the caller for the length of the call.
struct Passage {
  std::string_view text;
  std::string_view filename;
  std::string_view location;  // when empty and chunkCount > 0: "chunk {chunkNumber} of {chunkCount}"
  uint32_t chunkNumber = 0;
  uint32_t chunkCount = 0;
};

struct PlaceBlend {
  float weight = 0;
  std::vector<float> queryDot;    // per passage; NaN: no blend for that passage
  std::vector<float> passageDot;  // per passage
};

// The hybrid ranking. vectorsFlat holds `dimension` floats per chunk; chunkTokens and
// termCounts may be null (then each chunk's text is tokenized); charBudget in characters.
CrossDocResult selectEmbedPrimary(const std::vector<Passage>& chunks,
                                  std::span<const float> vectorsFlat, int64_t dimension,
                                  std::string_view queryText, std::span<const float> queryVector,
                                  const PassageTerms* chunkTokens, const TermCounts* termCounts,
                                  int64_t charBudget, std::optional<int64_t> shortlistK,
                                  int64_t nextPassages, const PlaceBlend* place,
                                  std::optional<int64_t> perFileFirst,
                                  const std::set<std::string>& supersededFiles);

// One document, keyword only.
SmartSelectResult select(std::string_view text, std::string_view query);

struct Document {
  std::string_view text;
  std::string_view filename;
};
// Several documents, keyword only.
CrossDocResult selectAcross(const std::vector<Document>& documents, std::string_view query);

// The dot product of two float vectors of the same length, in 32-bit floats.
float dot(const float* a, const float* b, size_t n);

}  // namespace SmartSelect

}  // namespace zelk
