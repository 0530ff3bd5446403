#include "retrieval/base_query.h"

#include <unicode/brkiter.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <thread>
#include <unordered_set>

#include "bases/index_checksum.h"
#include "platform/paths.h"
#include "retrieval/embedder.h"
#include "retrieval/floor_judge.h"

namespace zelk {
namespace {

using SmartSelect::PassageTerms;
using SmartSelect::TermCounts;
using SmartSelect::TermLists;

// What the query side keeps with a base's cache record.
struct QueryData : BaseIndexer::Derived {
  std::shared_ptr<const TermLists> chunkTokens;
  std::shared_ptr<const TermCounts> termCounts;
  std::shared_ptr<const BaseQuery::Places> places;
  std::shared_ptr<const BaseQuery::Versions> versions;
};

// The base's query data when its record still holds this index (creating it); else nullptr.
// Call under the cache lock only (inside withCached).
QueryData* dataFor(BaseIndexer::Cached* c, const std::shared_ptr<const BaseIndex>& index) {
  if (!c || c->index != index) return nullptr;
  auto* data = dynamic_cast<QueryData*>(c->derived.get());
  if (!data) {
    c->derived = std::make_shared<QueryData>();
    data = static_cast<QueryData*>(c->derived.get());
  }
  return data;
}

const std::set<std::string, std::less<>>& folderStopwords() {
  static const std::set<std::string, std::less<>> words{"the", "an", "and", "of"};
  return words;
}

std::vector<std::string> withoutFolderStopwords(std::vector<std::string> terms) {
  terms.erase(std::remove_if(terms.begin(), terms.end(),
                             [](const std::string& t) { return folderStopwords().count(t) > 0; }),
              terms.end());
  return terms;
}

bool readsAsInt64(const std::string& term) {
  int64_t value;
  auto r = std::from_chars(term.data(), term.data() + term.size(), value);
  return r.ec == std::errc() && r.ptr == term.data() + term.size();
}

int64_t floorTopK() {
  static const int64_t k = [] {
    const char* text = platform::env("ZELK_FLOOR_TOPK");
    int64_t value = 3;
    if (text && *text) {
      auto r = std::from_chars(text, text + std::strlen(text), value);
      if (r.ec != std::errc() || *r.ptr != '\0') value = 3;
    }
    return std::max<int64_t>(value, 1);
  }();
  return k;
}

std::string nameWithoutExtension(const std::string& path) {
  std::string last = platform::lastPathComponent(path);
  size_t dot = last.rfind('.');
  return dot == std::string::npos || dot == 0 ? last : last.substr(0, dot);
}

// The question's vector from the installed model; nullopt when there is none or it fails.
std::optional<std::vector<float>> embedQuestion(const std::string& query) {
  std::shared_ptr<Embedder> embedder = Embedder::makeSharedIfInstalled();
  if (!embedder) return std::nullopt;
  try {
    return embedder->embed(Embedder::kQuestionPrefix + query);
  } catch (const std::exception& e) {
    std::cerr << "zelk query: question embedding failed, searching by keywords: " << e.what()
              << std::endl;
    return std::nullopt;
  }
}

}  // namespace

BaseQuery& BaseQuery::shared() {
  static BaseQuery* instance = new BaseQuery(BaseIndexer::shared());  // lives with the process
  return *instance;
}

BaseQuery::BaseQuery(BaseIndexer& indexer) : indexer_(indexer) {}

std::shared_ptr<const TermLists> BaseQuery::cachedChunkTokens(
    const std::string& baseID, const std::shared_ptr<const BaseIndex>& index) {
  std::shared_ptr<const TermLists> cached;
  indexer_.withCached(baseID, [&](BaseIndexer::Cached* c) {
    if (QueryData* d = dataFor(c, index)) cached = d->chunkTokens;
  });
  if (cached && cached->size() == index->totalChunks()) return cached;
  const bool places = SmartSelect::placeWeight() > 0;
  TermLists::Builder builder;
  size_t textBytes = 0;
  for (const auto& e : index->entries) {
    for (const auto& chunk : e.chunks) textBytes += chunk.size();
  }
  builder.reserve(textBytes);
  for (const auto& e : index->entries) {
    std::string place = places ? SmartSelect::place(e.filename) : std::string();
    for (const auto& chunk : e.chunks) {
      if (places) builder.addText(place);
      builder.addText(chunk);
      builder.endPassage();
    }
  }
  auto built = std::make_shared<const TermLists>(builder.finish());
  indexer_.withCached(baseID, [&](BaseIndexer::Cached* c) {
    if (QueryData* d = dataFor(c, index)) d->chunkTokens = built;
  });
  return built;
}

std::shared_ptr<const TermCounts> BaseQuery::cachedTermCounts(
    const std::string& baseID, const std::shared_ptr<const BaseIndex>& index,
    const std::shared_ptr<const TermLists>& chunkTokens) {
  std::shared_ptr<const TermCounts> cached;
  indexer_.withCached(baseID, [&](BaseIndexer::Cached* c) {
    QueryData* d = dataFor(c, index);
    if (d && d->termCounts && d->chunkTokens && d->chunkTokens->size() == chunkTokens->size()) {
      cached = d->termCounts;
    }
  });
  if (cached) return cached;
  auto built = std::make_shared<const TermCounts>(SmartSelect::termCounts(*chunkTokens));
  indexer_.withCached(baseID, [&](BaseIndexer::Cached* c) {
    if (QueryData* d = dataFor(c, index)) d->termCounts = built;
  });
  return built;
}

std::shared_ptr<const BaseQuery::Places> BaseQuery::cachedPlaces(
    const std::string& baseID, const std::shared_ptr<const BaseIndex>& index,
    const std::vector<float>& flat, size_t dim) {
  if (!index->placesVersion || *index->placesVersion != BaseIndex::kPlacesVersion) return nullptr;
  std::string path = indexer_.fileURL(baseID, ".place");
  std::optional<FileStamp> stamp = fileStamp(path);
  std::shared_ptr<const Places> cached;
  indexer_.withCached(baseID, [&](BaseIndexer::Cached* c) {
    if (QueryData* d = dataFor(c, index)) cached = d->places;
  });
  if (cached && cached->modified == stamp) return cached;
  auto read = VectorStore::read(path);
  if (!read) return nullptr;
  const size_t entries = index->entries.size();
  if (read->floats.size() != dim * entries || flat.size() != dim * index->totalChunks()) {
    return nullptr;
  }
  if (index->placesChecksum && *index->placesChecksum != read->checksum) return nullptr;
  auto places = std::make_shared<Places>();
  places->flat = std::move(read->floats);
  places->modified = read->stamp;
  places->passageDot.reserve(index->totalChunks());
  size_t g = 0;
  for (size_t e = 0; e < entries; ++e) {
    const float* place = places->flat.data() + e * dim;
    for (size_t k = 0; k < index->entries[e].chunks.size(); ++k, ++g) {
      places->passageDot.push_back(SmartSelect::dot(place, flat.data() + g * dim, dim));
    }
  }
  std::shared_ptr<const Places> result = places;
  indexer_.withCached(baseID, [&](BaseIndexer::Cached* c) {
    if (QueryData* d = dataFor(c, index)) d->places = result;
  });
  return result;
}

std::vector<std::string> BaseQuery::namedFolders(const std::string& query,
                                                 const std::vector<std::string>& filenames,
                                                 const std::vector<uint32_t>& chunkEntry,
                                                 const PassageTerms& chunkTokens) {
  std::vector<std::string> question = withoutFolderStopwords(SmartSelect::tokenize(query));
  if (question.empty()) return {};
  std::map<std::string, std::set<size_t>> folders;
  for (size_t i = 0; i < filenames.size(); ++i) {
    std::string folder = filenames[i];
    while (true) {
      size_t slash = folder.rfind('/');
      if (slash == std::string::npos) break;
      folder.resize(slash);
      if (folder.empty()) break;
      folders[folder].insert(i);
    }
  }
  std::vector<std::string> named;
  for (const auto& [folder, members] : folders) {
    if (filenames.size() < 2 * members.size()) continue;
    std::vector<std::string> nameTerms =
        withoutFolderStopwords(SmartSelect::tokenize(platform::lastPathComponent(folder)));
    std::set<std::string> content;
    for (const auto& t : nameTerms) {
      if (!readsAsInt64(t)) content.insert(t);
    }
    if (content.empty()) continue;
    bool run = false;
    for (size_t start = 0; !run && start + nameTerms.size() <= question.size(); ++start) {
      run = std::equal(nameTerms.begin(), nameTerms.end(), question.begin() + long(start));
    }
    if (!run) continue;
    double best = 0;
    for (const auto& t : content) {
      std::set<size_t> holding;
      if (chunkTokens.lists) {
        if (auto id = chunkTokens.lists->find(t)) {
          for (const auto& post : chunkTokens.lists->postings(*id)) {
            if (post.passage < chunkEntry.size()) holding.insert(chunkEntry[post.passage]);
          }
        }
      }
      double share = 1;
      if (!holding.empty()) {
        size_t inside = 0;
        for (size_t e : holding) inside += members.count(e);
        share = double(inside) / double(holding.size());
      }
      best = std::max(best, share);
    }
    if (best >= 0.5) named.push_back(folder);
  }
  std::sort(named.begin(), named.end());
  return named;
}

BaseQuery::Versions BaseQuery::Versions::of(const BaseIndex& index) {
  Versions v;
  for (const auto& e : index.entries) {
    v.paths.push_back(e.filePath);
    v.nameOfPath.emplace(e.filePath, e.filename);
  }
  v.analysis = VersionGroups::analyze(v.paths);
  for (const auto& group : v.analysis.groups) {
    for (const auto& member : group) {
      const std::string& path = v.paths[member.index];
      std::vector<std::string> own = SmartSelect::tokenize(nameWithoutExtension(path));
      std::vector<std::string> stemWords = SmartSelect::tokenize(member.stem.stem);
      std::set<std::string> stemSet(stemWords.begin(), stemWords.end());
      std::set<std::string>& words = v.ownWords[path];
      for (auto& w : own) {
        if (!stemSet.count(w)) words.insert(std::move(w));
      }
    }
  }
  return v;
}

std::set<std::string> BaseQuery::supersededFiles(const BaseIndex& index, const std::string& query,
                                                  const Versions* versions) {
  std::set<std::string> out;
  if (!RankingSettings::current().versionsLast) return out;
  std::optional<Versions> own;
  if (!versions) versions = &own.emplace(Versions::of(index));
  if (versions->analysis.groups.empty()) return out;
  std::vector<std::string> words = SmartSelect::tokenize(query);
  std::unordered_set<std::string> question(words.begin(), words.end());
  for (const auto& pair : VersionGroups::superseded(versions->analysis, versions->paths)) {
    if (!pair.confident) continue;
    // A question that names the old version keeps it in the running.
    bool named = false;
    auto it = versions->ownWords.find(pair.old);
    if (it != versions->ownWords.end()) {
      for (const auto& w : it->second) named = named || question.count(w) > 0;
    }
    if (named) continue;
    auto name = versions->nameOfPath.find(pair.old);
    if (name != versions->nameOfPath.end()) out.insert(name->second);
  }
  return out;
}

bool BaseQuery::namedPlacesPending() {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->namedPlacesPending;
}

std::optional<std::map<std::string, std::vector<float>>> BaseQuery::placeVectors(
    const std::vector<std::string>& texts) {
  std::map<std::string, std::vector<float>> known;
  std::vector<std::string> missing;
  bool pending;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    std::set<std::string> listed;
    for (const auto& t : texts) {
      auto it = state_->namedPlaceVectors.find(t);
      if (it != state_->namedPlaceVectors.end()) {
        known.emplace(t, it->second);
      } else if (listed.insert(t).second) {
        missing.push_back(t);
      }
    }
    pending = state_->namedPlacesPending;
  }
  if (missing.empty()) return known;
  std::shared_ptr<Embedder> embedder = Embedder::makeSharedIfInstalled();
  if (!embedder) return std::nullopt;
  if (missing.size() <= kPlaceEmbedNow) {
    std::vector<std::vector<float>> vectors;
    try {
      vectors = embedder->embed(missing, 64, [] { return false; });
    } catch (const std::exception&) {
      return std::nullopt;
    }
    if (vectors.size() != missing.size()) return std::nullopt;
    std::lock_guard<std::mutex> hold(state_->lock);
    for (size_t i = 0; i < missing.size(); ++i) {
      state_->namedPlaceVectors[missing[i]] = vectors[i];
      known.emplace(missing[i], std::move(vectors[i]));
    }
    return known;
  }
  if (pending) return std::nullopt;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    if (state_->namedPlacesPending) return std::nullopt;
    state_->namedPlacesPending = true;
  }
  std::weak_ptr<State> weak = state_;
  std::thread([weak, embedder, missing = std::move(missing)] {
    std::vector<std::vector<float>> vectors;
    bool ok = false;
    try {
      vectors = embedder->embed(missing, 64, [] { return false; });
      ok = vectors.size() == missing.size();
    } catch (const std::exception&) {
    }
    std::shared_ptr<State> state = weak.lock();
    if (!state) return;
    std::lock_guard<std::mutex> hold(state->lock);
    if (ok) {
      for (size_t i = 0; i < missing.size(); ++i) {
        state->namedPlaceVectors[missing[i]] = std::move(vectors[i]);
      }
    }
    state->namedPlacesPending = false;
  }).detach();
  return std::nullopt;
}

CrossDocResult BaseQuery::applyFloor(CrossDocResult result, const std::string& query) {
  std::shared_ptr<FloorJudge> judge = FloorJudgeProvider::shared().judge();
  if (!judge || result.hits.empty()) return result;
  const int64_t k = floorTopK();
  std::optional<std::string> unclear;
  int64_t judged = 0;
  for (const CrossDocHit& hit : result.hits) {
    if (hit.follows) continue;
    if (judged++ >= k) break;
    std::string passage = hit.excerpt;
    // The first 1500 characters; the judge is a small model with a short context.
    if (SmartSelect::characters(passage) > 1500) {
      icu::UnicodeString u = icu::UnicodeString::fromUTF8(passage);
      UErrorCode status = U_ZERO_ERROR;
      std::unique_ptr<icu::BreakIterator> it(
          icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
      if (U_SUCCESS(status) && it) {
        it->setText(u);
        int32_t end = it->first();
        for (int i = 0; i < 1500 && end != icu::BreakIterator::DONE; ++i) end = it->next();
        if (end != icu::BreakIterator::DONE) {
          passage.clear();
          icu::UnicodeString(u, 0, end).toUTF8String(passage);
        }
      }
    }
    FloorVerdict verdict = judge->judge(query, passage);
    if (verdict == FloorVerdict::answers) {
      result.matchQuality = MatchQuality::high;
      return result;
    }
    if (verdict == FloorVerdict::unclear && !unclear) unclear = passage;
  }
  if (!unclear) {
    result.heldBack = std::move(result.hits);
    result.hits.clear();
    result.documentsWithHits = 0;
    result.matchQuality = MatchQuality::none;
    result.namedFolders.clear();
    result.supersededFiles.clear();
    return result;
  }
  std::shared_ptr<FloorJudge> confirmer = FloorJudgeProvider::shared().confirmer();
  result.matchQuality = confirmer && confirmer->judge(query, *unclear) == FloorVerdict::answers
                            ? MatchQuality::high
                            : MatchQuality::low;
  return result;
}

std::optional<CrossDocResult> BaseQuery::keywordPath(const BaseIndex& index,
                                                     const std::set<std::string>* scope,
                                                     const std::string& query, bool floor) {
  std::vector<std::string> texts;
  std::vector<SmartSelect::Document> documents;
  texts.reserve(index.entries.size());
  for (const auto& e : index.entries) {
    if (scope && !scope->count(e.filename)) continue;
    std::string joined;
    for (size_t i = 0; i < e.sections.size(); ++i) {
      if (i) joined += "\n\n";
      joined += e.sections[i];
    }
    texts.push_back(std::move(joined));
  }
  size_t t = 0;
  for (const auto& e : index.entries) {
    if (scope && !scope->count(e.filename)) continue;
    documents.push_back({texts[t++], e.filename});
  }
  CrossDocResult result = SmartSelect::selectAcross(documents, query);
  if (floor) result = applyFloor(std::move(result), query);
  return result;
}

std::optional<CrossDocResult> BaseQuery::query(const std::string& baseID, const std::string& query,
                                               const std::set<std::string>* scopeFiles,
                                               std::optional<int64_t> tokenBudget, bool floor,
                                               std::optional<std::span<const float>> queryVector,
                                               int64_t nextPassages) {
  const RankingSettings& settings = RankingSettings::current();
  std::shared_ptr<const BaseIndex> index = indexer_.load(baseID);
  if (!index) return std::nullopt;
  const std::set<std::string>* scope = scopeFiles && !scopeFiles->empty() ? scopeFiles : nullptr;
  const int64_t charBudget = tokenBudget ? std::max<int64_t>(*tokenBudget, 1) * 4 : 8000;

  // The vector path needs the index's vectors and a question vector of their length.
  const size_t total = index->totalChunks();
  if (!index->hasEmbeddings() || total == 0) return keywordPath(*index, scope, query, floor);
  const size_t d = size_t(*index->vectorDimension);
  std::shared_ptr<const std::vector<float>> flat = indexer_.cachedFlatVectors(baseID, index);
  if (!flat || flat->size() != d * total) return keywordPath(*index, scope, query, floor);
  std::vector<float> ownVector;
  std::span<const float> question;
  if (queryVector) {
    question = *queryVector;
  } else {
    auto embedded = embedQuestion(query);
    if (!embedded) return keywordPath(*index, scope, query, floor);
    ownVector = std::move(*embedded);
    question = ownVector;
  }
  if (question.size() != d) return keywordPath(*index, scope, query, floor);

  // Passages in scope.
  std::vector<SmartSelect::Passage> passages;
  std::vector<uint32_t> passageEntry, globalIndex;
  std::vector<float> scopedVectors;
  passages.reserve(scope ? 0 : total);
  passageEntry.reserve(scope ? 0 : total);
  {
    size_t g = 0;
    for (size_t e = 0; e < index->entries.size(); ++e) {
      const auto& entry = index->entries[e];
      const size_t count = entry.chunks.size();
      if (scope && !scope->count(entry.filename)) {
        g += count;
        continue;
      }
      for (size_t k = 0; k < count; ++k, ++g) {
        passages.push_back({entry.chunks[k], entry.filename, {}, uint32_t(k + 1), uint32_t(count)});
        passageEntry.push_back(uint32_t(e));
        globalIndex.push_back(uint32_t(g));
        if (scope) {
          scopedVectors.insert(scopedVectors.end(), flat->begin() + long(g * d),
                               flat->begin() + long((g + 1) * d));
        }
      }
    }
  }
  if (passages.empty()) return std::nullopt;
  std::span<const float> vectors = scope ? std::span<const float>(scopedVectors)
                                         : std::span<const float>(*flat);

  // Terms.
  std::shared_ptr<const TermLists> lists;
  const bool placeTerms = settings.placeWeight > 0;
  if (!scope) {
    lists = cachedChunkTokens(baseID, index);
  } else {
    TermLists::Builder builder;
    for (const auto& p : passages) {
      if (placeTerms) builder.addText(SmartSelect::place(p.filename));
      builder.addText(p.text);
      builder.endPassage();
    }
    lists = std::make_shared<const TermLists>(builder.finish());
  }
  PassageTerms terms{lists.get(), {}, {}};

  // Place blends.
  std::optional<SmartSelect::PlaceBlend> blend;
  std::vector<std::string> named;
  std::shared_ptr<const Places> places;
  if (settings.placeWeight > 0) places = cachedPlaces(baseID, index, *flat, d);
  if (places) {
    std::vector<float> qe(index->entries.size());
    for (size_t e = 0; e < qe.size(); ++e) {
      qe[e] = SmartSelect::dot(places->flat.data() + e * d, question.data(), d);
    }
    blend.emplace();
    blend->weight = settings.placeWeight;
    blend->queryDot.resize(passages.size());
    blend->passageDot.resize(passages.size());
    for (size_t p = 0; p < passages.size(); ++p) {
      blend->queryDot[p] = qe[passageEntry[p]];
      blend->passageDot[p] = places->passageDot[globalIndex[p]];
    }
  } else if (settings.namedPlaceWeight > 0) {
    std::vector<std::string> filenames;
    for (const auto& e : index->entries) filenames.push_back(e.filename);
    named = namedFolders(query, filenames, passageEntry, terms);
    if (!named.empty()) {
      std::vector<bool> isNamed(index->entries.size(), false);
      std::vector<std::string> texts;
      std::map<size_t, std::string> placeOf;
      std::set<std::string> listed;
      for (size_t e = 0; e < filenames.size(); ++e) {
        for (const auto& f : named) {
          if (filenames[e].size() > f.size() && filenames[e].compare(0, f.size(), f) == 0 &&
              filenames[e][f.size()] == '/') {
            isNamed[e] = true;
            break;
          }
        }
        if (!isNamed[e]) continue;
        placeOf[e] = SmartSelect::place(filenames[e]);
        if (listed.insert(placeOf[e]).second) texts.push_back(placeOf[e]);
      }
      auto vectorsByPlace = placeVectors(texts);
      if (!vectorsByPlace) {
        named.clear();
      } else {
        blend.emplace();
        blend->weight = settings.namedPlaceWeight;
        blend->queryDot.assign(passages.size(), std::numeric_limits<float>::quiet_NaN());
        blend->passageDot.assign(passages.size(), 0);
        terms.prefixOf.assign(passages.size(), -1);
        std::map<size_t, int32_t> prefixOfEntry;
        for (size_t p = 0; p < passages.size(); ++p) {
          size_t e = passageEntry[p];
          if (!isNamed[e]) continue;
          auto v = vectorsByPlace->find(placeOf[e]);
          if (v == vectorsByPlace->end() || v->second.size() != d) continue;
          blend->passageDot[p] = SmartSelect::dot(v->second.data(), vectors.data() + p * d, d);
          blend->queryDot[p] = SmartSelect::dot(v->second.data(), question.data(), d);
          auto [it, fresh] = prefixOfEntry.emplace(e, int32_t(terms.prefixes.size()));
          if (fresh) terms.prefixes.push_back(SmartSelect::tokenize(placeOf[e]));
          terms.prefixOf[p] = it->second;
        }
      }
    }
  }

  // Statistics and versions.
  std::shared_ptr<const TermCounts> counts;
  if (!scope) {
    counts = cachedTermCounts(baseID, index, lists);
  } else {
    counts = std::make_shared<const TermCounts>(SmartSelect::termCounts(*lists));
  }
  std::shared_ptr<const Versions> versions;
  if (settings.versionsLast) {
    indexer_.withCached(baseID, [&](BaseIndexer::Cached* c) {
      if (QueryData* q = dataFor(c, index)) versions = q->versions;
    });
    if (!versions) {
      versions = std::make_shared<const Versions>(Versions::of(*index));
      indexer_.withCached(baseID, [&](BaseIndexer::Cached* c) {
        if (QueryData* q = dataFor(c, index)) q->versions = versions;
      });
    }
  }
  std::set<std::string> superseded = supersededFiles(*index, query, versions.get());

  CrossDocResult result = SmartSelect::selectEmbedPrimary(
      passages, vectors, int64_t(d), query, question, &terms, counts.get(), charBudget,
      std::nullopt, nextPassages, blend ? &*blend : nullptr, std::nullopt, superseded);
  if (floor) result = applyFloor(std::move(result), query);
  result.namedFolders = std::move(named);
  result.supersededFiles = std::move(superseded);
  return result;
}

std::optional<CrossDocResult> BaseQuery::queryEphemeralOnDemand(
    const std::vector<QueryPassage>& chunks, const std::string& query,
    const std::set<std::string>& scopeFiles, std::optional<int64_t> tokenBudget,
    std::optional<int64_t> shortlistK) {
  std::shared_ptr<Embedder> embedder = Embedder::makeSharedIfInstalled();
  if (!embedder) return std::nullopt;
  std::vector<float> question;
  try {
    question = embedder->embed(Embedder::kQuestionPrefix + query);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (chunks.empty()) return std::nullopt;
  const int64_t charBudget = tokenBudget ? std::max<int64_t>(*tokenBudget, 1) * 4 : 8000;
  std::vector<const QueryPassage*> inScope;
  for (const auto& c : chunks) {
    if (scopeFiles.empty() || scopeFiles.count(c.filename)) inScope.push_back(&c);
  }
  if (inScope.empty()) return std::nullopt;

  TermLists::Builder builder;
  for (const QueryPassage* p : inScope) {
    builder.addText(p->text);
    builder.endPassage();
  }
  TermLists lists = builder.finish();
  int64_t k = shortlistK ? *shortlistK
                         : RankingSettings::current().shortlistKInteger.value_or(400);
  std::vector<uint32_t> shortlist = SmartSelect::bm25Shortlist(PassageTerms{&lists, {}, {}},
                                                                query, k);
  std::vector<std::string> texts;
  for (uint32_t i : shortlist) texts.push_back(inScope[i]->text);
  std::vector<std::vector<float>> embedded;
  try {
    embedded = embedder->embed(texts, 64, [] { return false; });
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (embedded.size() != shortlist.size()) return std::nullopt;
  // The model's own dimension (384 for bge-small-en-v1.5).
  const size_t d = question.size();
  std::vector<SmartSelect::Passage> kept;
  std::vector<float> vectors;
  TermLists::Builder keptTerms;
  for (size_t s = 0; s < shortlist.size(); ++s) {
    if (d == 0 || embedded[s].size() != d) continue;
    const QueryPassage* p = inScope[shortlist[s]];
    kept.push_back({p->text, p->filename, p->location, 0, 0});
    vectors.insert(vectors.end(), embedded[s].begin(), embedded[s].end());
    keptTerms.addText(p->text);
    keptTerms.endPassage();
  }
  if (kept.empty()) return std::nullopt;
  TermLists keptLists = keptTerms.finish();
  PassageTerms terms{&keptLists, {}, {}};
  CrossDocResult result = SmartSelect::selectEmbedPrimary(
      kept, vectors, int64_t(d), query, question, &terms, nullptr, charBudget, std::nullopt, 0,
      nullptr, std::nullopt, {});
  return applyFloor(std::move(result), query);
}

}  // namespace zelk
