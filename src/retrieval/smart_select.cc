#include "retrieval/smart_select.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_set>

#include "platform/paths.h"
#include "platform/regex_cache.h"
#include "platform/unicode.h"

namespace zelk {

const char* toString(MatchQuality quality) {
  switch (quality) {
    case MatchQuality::high: return "high";
    case MatchQuality::low: return "low";
    case MatchQuality::none: return "none";
    case MatchQuality::unknown: return "unknown";
  }
  return "unknown";
}

std::optional<MatchQuality> matchQualityFromString(std::string_view text) {
  for (MatchQuality q : {MatchQuality::high, MatchQuality::low, MatchQuality::none,
                         MatchQuality::unknown}) {
    if (text == toString(q)) return q;
  }
  return std::nullopt;
}

namespace {

std::optional<double> parseNumber(const char* text) {
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<int64_t> parseInteger(const char* text) {
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE) return std::nullopt;
  return int64_t(v);
}

RankingSettings readSettings() {
  RankingSettings s;
  s.placeWeight = float(parseNumber(platform::env("ZELK_PLACE_WEIGHT")).value_or(0));
  s.namedPlaceWeight =
      float(parseNumber(platform::env("ZELK_NAMED_PLACE_WEIGHT")).value_or(0.7));
  if (const char* k = platform::env("ZELK_SHORTLIST_K")) {
    s.shortlistKInteger = parseInteger(k);
    s.shortlistK = s.shortlistKInteger.value_or(0);
  }
  const char* near = platform::env("ZELK_NEAR_COPIES");
  s.nearCopies = !(near && std::string_view(near) == "0");
  const char* versions = platform::env("ZELK_VERSIONS_LAST");
  s.versionsLast = !(versions && std::string_view(versions) == "0");
  return s;
}

RankingSettings& settingsSlot() {
  static RankingSettings settings = readSettings();
  return settings;
}

// ---- Characters and terms ----

struct AsciiTables {
  bool word[128] = {};
  char lower[128] = {};
  AsciiTables() {
    for (int c = 0; c < 128; ++c) {
      word[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      lower[c] = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
  }
};
const AsciiTables kAscii;

// A scalar that continues the user-perceived character before it.
bool extendsCharacter(UChar32 c) {
  if (c == 0x200D || (c >= 0x1F3FB && c <= 0x1F3FF)) return true;
  if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) return true;
  return u_charType(c) == U_COMBINING_SPACING_MARK;
}

// A character that begins with this scalar is a letter or a number.
bool isWordScalar(UChar32 c) {
  return u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
         u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

void lowerInto(std::string_view token, bool ascii, std::string& out) {
  out.clear();
  if (ascii) {
    out.resize(token.size());
    for (size_t i = 0; i < token.size(); ++i) out[i] = kAscii.lower[uint8_t(token[i])];
    return;
  }
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(token.data(), int32_t(token.size())));
  u.toLower(icu::Locale::getRoot());
  u.toUTF8String(out);
}

// Calls emit(term) for every term of the text: lower-cased runs of letters and digits of at
// least 2 characters. `scratch` holds the lower-cased term.
template <class F>
void eachTerm(std::string_view text, std::string& scratch, F&& emit) {
  const size_t size = text.size();
  const char* data = text.data();
  size_t i = 0;
  while (i < size) {
    // Skip separators (and marks attached to them).
    while (i < size) {
      uint8_t b = uint8_t(data[i]);
      if (b < 0x80) {
        if (kAscii.word[b]) break;
        ++i;
        continue;
      }
      int32_t at = int32_t(i);
      UChar32 c;
      U8_NEXT(data, at, int32_t(size), c);
      if (c >= 0 && isWordScalar(c) && !extendsCharacter(c)) break;
      i = size_t(at);
    }
    if (i >= size) break;
    size_t start = i;
    size_t chars = 0;
    bool ascii = true, upper = false;
    while (i < size) {
      uint8_t b = uint8_t(data[i]);
      if (b < 0x80) {
        if (!kAscii.word[b]) break;
        upper = upper || (b >= 'A' && b <= 'Z');
        ++chars;
        ++i;
        continue;
      }
      int32_t at = int32_t(i);
      UChar32 c;
      U8_NEXT(data, at, int32_t(size), c);
      if (c < 0) break;
      if (extendsCharacter(c)) {
        // part of the character before it
      } else if (isWordScalar(c)) {
        ++chars;
      } else {
        break;
      }
      ascii = false;
      i = size_t(at);
    }
    if (chars >= 2) {
      if (ascii && !upper) {
        emit(text.substr(start, i - start));  // already lower case: no copy
      } else {
        lowerInto(text.substr(start, i - start), ascii, scratch);
        emit(std::string_view(scratch));
      }
    }
  }
}

bool isAsciiText(std::string_view s) {
  for (char c : s) {
    if (uint8_t(c) >= 0x80) return false;
  }
  return true;
}

// The user-perceived characters of a short text, each as its UTF-8 bytes.
std::vector<std::string_view> characterList(std::string_view text) {
  std::vector<std::string_view> out;
  if (isAsciiText(text)) {
    for (size_t i = 0; i < text.size(); ++i) {
      size_t n = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
      out.push_back(text.substr(i, n));
      i += n - 1;
    }
    return out;
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  icu::UnicodeString u = platform::toUnicode(text);
  if (U_FAILURE(status) || !it) {
    out.push_back(text);
    return out;
  }
  it->setText(u);
  // The iterator's boundaries are UTF-16 offsets: walk the UTF-8 text in step with them.
  std::vector<int32_t> bounds;
  for (int32_t b = it->first(); b != icu::BreakIterator::DONE; b = it->next()) bounds.push_back(b);
  size_t byte = 0;
  int32_t unit = 0;
  size_t bi = 1;
  size_t startByte = 0;
  while (byte < text.size() && bi < bounds.size()) {
    int32_t at = int32_t(byte);
    UChar32 c;
    U8_NEXT(text.data(), at, int32_t(text.size()), c);
    unit += (c >= 0x10000) ? 2 : 1;
    byte = size_t(at);
    if (unit >= bounds[bi]) {
      out.push_back(text.substr(startByte, byte - startByte));
      startByte = byte;
      ++bi;
    }
  }
  if (startByte < text.size()) out.push_back(text.substr(startByte));
  return out;
}

bool onlyDigits(std::string_view term) {
  if (term.empty()) return false;
  int32_t i = 0, n = int32_t(term.size());
  while (i < n) {
    UChar32 c;
    U8_NEXT(term.data(), i, n, c);
    if (c < 0 || !u_isdigit(c)) return false;
  }
  return true;
}

std::string firstCharacters(std::string_view term, size_t count) {
  std::string out;
  if (isAsciiText(term)) return std::string(term.substr(0, count));
  auto chars = characterList(term);
  for (size_t i = 0; i < chars.size() && i < count; ++i) out += chars[i];
  return out;
}

std::string lowerFast(std::string_view text) {
  if (isAsciiText(text)) {
    std::string out(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) out[i] = kAscii.lower[uint8_t(text[i])];
    return out;
  }
  return platform::lowercased(text);
}

size_t occurrences(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string_view::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// First `limit` characters of a text.
std::string prefixCharacters(std::string_view text, size_t limit) {
  if (isAsciiText(text)) {
    size_t chars = 0, i = 0;
    while (i < text.size() && chars < limit) {
      i += text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
      ++chars;
    }
    return std::string(text.substr(0, i));
  }
  auto chars = characterList(text);
  std::string out;
  for (size_t i = 0; i < chars.size() && i < limit; ++i) out += chars[i];
  return out;
}

// ---- Orders ----

// NaN ranks last; -0 ties with +0.
double rankable(double x) {
  if (std::isnan(x)) return -std::numeric_limits<double>::infinity();
  return x == 0 ? 0.0 : x;
}

// A 32-bit key whose ascending order is the descending order of the value. Rounding to float
// keeps the order but may make neighbours equal; those runs are put in exact order afterwards.
uint32_t descendingKey(double x) {
  float f = float(rankable(x));
  if (f == 0) f = 0;
  uint32_t bits = std::bit_cast<uint32_t>(f);
  bits = (bits >> 31) ? ~bits : (bits | 0x80000000u);
  return ~bits;
}

// Positions 0..n-1 ordered by key, highest first; equal keys keep their position order.
// An LSD radix sort over (key, position) pairs, linear in n, so that ranking every passage of a
// large base for each question stays cheap.
std::vector<uint32_t> orderDescending(const std::vector<double>& keys) {
  const size_t n = keys.size();
  std::vector<uint64_t> packed(n), next;
  for (size_t i = 0; i < n; ++i) packed[i] = uint64_t(descendingKey(keys[i])) << 32 | uint32_t(i);
  if (n < 256) {
    std::sort(packed.begin(), packed.end());
  } else {
    next.resize(n);
    for (int shift = 32; shift < 64; shift += 11) {
      const int bits = std::min(11, 64 - shift);
      const uint64_t mask = (uint64_t(1) << bits) - 1;
      size_t counts[2049] = {};
      for (uint64_t v : packed) ++counts[((v >> shift) & mask) + 1];
      if (*std::max_element(counts + 1, counts + mask + 2) == n) continue;  // one bucket
      for (uint64_t b = 1; b <= mask + 1; ++b) counts[b] += counts[b - 1];
      for (uint64_t v : packed) next[counts[(v >> shift) & mask]++] = v;
      packed.swap(next);
    }
  }
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = uint32_t(packed[i]);
  // Exact order within runs that share a float key.
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && (packed[j] >> 32) == (packed[i] >> 32)) ++j;
    bool uniform = true;
    for (size_t k = i + 1; k < j && uniform; ++k) {
      uniform = rankable(keys[order[k]]) == rankable(keys[order[i]]);
    }
    if (!uniform) {  // equal values are already in position order
      std::stable_sort(order.begin() + long(i), order.begin() + long(j), [&](uint32_t a, uint32_t b) {
        return rankable(keys[a]) > rankable(keys[b]);
      });
    }
    i = j;
  }
  return order;
}

// ---- Near copies ----

std::vector<std::string> numbersIn(std::string_view text) {
  std::vector<std::string> out;
  icu::UnicodeString u = platform::toUnicode(text);
  auto m = platform::RegexCache::shared().matcher("\\d[\\d,]*(?:\\.\\d+)?", u);
  if (!m) return out;
  UErrorCode status = U_ZERO_ERROR;
  while (m->find(status) && U_SUCCESS(status)) {
    std::string s;
    m->group(status).toUTF8String(s);
    s.erase(std::remove(s.begin(), s.end(), ','), s.end());
    out.push_back(std::move(s));
  }
  std::sort(out.begin(), out.end());
  return out;
}

int64_t yearIn(std::string_view filename) {
  std::string last = platform::lastPathComponent(std::string(filename));
  icu::UnicodeString u = platform::toUnicode(last);
  auto m = platform::RegexCache::shared().matcher("(?:19|20)\\d\\d", u);
  int64_t best = 0;
  if (!m) return 0;
  UErrorCode status = U_ZERO_ERROR;
  while (m->find(status) && U_SUCCESS(status)) {
    std::string s;
    m->group(status).toUTF8String(s);
    // \d may match other scripts' digits; u_charDigitValue reads them.
    int64_t year = 0;
    int32_t i = 0, len = int32_t(s.size());
    while (i < len) {
      UChar32 c;
      U8_NEXT(s.data(), i, len, c);
      year = year * 10 + std::max<int32_t>(u_charDigitValue(c), 0);
    }
    best = std::max(best, year);
  }
  return best;
}

struct CopyKey {
  std::unordered_set<std::string> terms;
  std::vector<std::string> numbers;
};

CopyKey copyKey(std::string_view text) {
  CopyKey key;
  for (auto& t : SmartSelect::tokenize(text)) key.terms.insert(std::move(t));
  key.numbers = numbersIn(text);
  return key;
}

double jaccard(const std::unordered_set<std::string>& a, const std::unordered_set<std::string>& b) {
  if (a.empty() && b.empty()) return 1;
  size_t common = 0;
  for (const auto& t : a) common += b.count(t);
  return double(common) / double(a.size() + b.size() - common);
}

// Distinct terms of a list, in first-occurrence order.
std::vector<std::string> distinct(const std::vector<std::string>& terms) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  for (const auto& t : terms) {
    if (seen.insert(t).second) out.push_back(t);
  }
  return out;
}

// Eight bytes at a time: terms are short, and this runs for every term of a base.
uint64_t hashBytes(std::string_view s) {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ s.size();
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
  }
  if (i < s.size()) {
    uint64_t w = 0;
    std::memcpy(&w, s.data() + i, s.size() - i);
    h = (h ^ w) * 0x94D049BB133111EBULL;
    h ^= h >> 29;
  }
  h *= 0xBF58476D1CE4E5B9ULL;
  return h ^ (h >> 32);
}

}  // namespace

const RankingSettings& RankingSettings::current() { return settingsSlot(); }
void RankingSettings::reloadForTesting() { settingsSlot() = readSettings(); }

namespace SmartSelect {

const std::set<std::string, std::less<>>& stopwords() {
  static const std::set<std::string, std::less<>> words{
      "the", "a", "an", "is", "are", "was", "were", "in", "on", "at", "to", "for", "of", "and",
      "or", "but"};
  return words;
}

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> out;
  std::string scratch;
  eachTerm(text, scratch, [&](std::string_view t) { out.emplace_back(t); });
  return out;
}

std::vector<std::string> questionTerms(std::string_view text) {
  std::vector<std::string> out;
  for (auto& t : tokenize(text)) {
    if (!stopwords().count(t)) out.push_back(std::move(t));
  }
  return out;
}

std::string place(std::string_view filename) {
  std::vector<std::string> parts;
  size_t from = 0;
  while (true) {
    size_t slash = filename.find('/', from);
    parts.emplace_back(filename.substr(from, slash == std::string_view::npos ? slash : slash - from));
    if (slash == std::string_view::npos) break;
    from = slash + 1;
  }
  std::string last = parts.back();
  size_t dot = last.rfind('.');
  if (dot != std::string::npos && dot > 0) last.resize(dot);
  std::string out = last;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    out += " \u00B7 ";
    out += parts[i];
  }
  return out;
}

size_t characters(std::string_view text) { return platform::graphemeCount(text); }

size_t editDistance(std::string_view a, std::string_view b) {
  auto x = characterList(a), y = characterList(b);
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[y.size()];
}

// ---- TermLists ----

namespace {

uint64_t headOf(std::string_view term) {
  uint64_t head = 0;
  if (!term.empty()) std::memcpy(&head, term.data(), std::min<size_t>(term.size(), 8));
  return head;
}

// The slot holding the term, or the empty slot where it belongs. A slot keeps the term's first
// eight bytes and length, so most lookups touch no memory but the table.
size_t probe(const std::vector<TermLists::Slot>& table, const std::string& arena,
             const std::vector<uint32_t>& offsets, std::string_view term) {
  const size_t mask = table.size() - 1;
  const uint64_t head = headOf(term);
  for (size_t slot = hashBytes(term) & mask;; slot = (slot + 1) & mask) {
    const TermLists::Slot& s = table[slot];
    if (s.id1 == 0) return slot;
    if (s.head != head || s.length != term.size()) continue;
    if (term.size() <= 8) return slot;
    uint32_t id = s.id1 - 1;
    if (std::memcmp(arena.data() + offsets[id] + 8, term.data() + 8, term.size() - 8) == 0) {
      return slot;
    }
  }
}

}  // namespace

uint32_t TermLists::Builder::intern(std::string_view term) {
  if ((offsets_.size()) * 2 >= table_.size()) grow();
  size_t slot = probe(table_, arena_, offsets_, term);
  Slot& s = table_[slot];
  if (s.id1 != 0) return s.id1 - 1;
  uint32_t id = uint32_t(offsets_.size() - 1);
  arena_.append(term);
  offsets_.push_back(uint32_t(arena_.size()));
  s = {headOf(term), id + 1, uint32_t(term.size())};
  current_.push_back(0);
  return id;
}

void TermLists::Builder::grow() {
  size_t size = std::max<size_t>(1024, table_.size() * 2);
  std::vector<Slot> table(size);
  for (uint32_t id = 0; id + 1 < offsets_.size(); ++id) {
    std::string_view t =
        std::string_view(arena_).substr(offsets_[id], offsets_[id + 1] - offsets_[id]);
    table[probe(table, arena_, offsets_, t)] = {headOf(t), id + 1, uint32_t(t.size())};
  }
  table_.swap(table);
}

void TermLists::Builder::addTerm(std::string_view term) {
  uint32_t id = intern(term);
  if (current_[id]++ == 0) seen_.push_back(id);
  ++passageLength_;
}

void TermLists::Builder::reserve(size_t textBytes) {
  // About one distinct term per ten bytes of prose; growing a vector this large costs copies.
  triples_.reserve(textBytes / 10);
}

void TermLists::Builder::addText(std::string_view text) {
  eachTerm(text, scratch_, [&](std::string_view t) { addTerm(t); });
}

void TermLists::Builder::addTerms(const std::vector<std::string>& terms) {
  for (const auto& t : terms) addTerm(t);
}

void TermLists::Builder::endPassage() {
  uint32_t passage = uint32_t(lengths_.size());
  for (uint32_t id : seen_) {
    triples_.push_back({id, passage, current_[id]});
    current_[id] = 0;
  }
  seen_.clear();
  lengths_.push_back(passageLength_);
  passageLength_ = 0;
}

TermLists TermLists::Builder::finish() {
  TermLists out;
  size_t vocabulary = offsets_.size() - 1;
  out.starts_.assign(vocabulary + 1, 0);
  for (const auto& t : triples_) ++out.starts_[t.term + 1];
  for (size_t i = 1; i <= vocabulary; ++i) out.starts_[i] += out.starts_[i - 1];
  out.postings_.resize(triples_.size());
  {
    std::vector<uint32_t> fill(out.starts_.begin(), out.starts_.end() - 1);
    for (const auto& t : triples_) out.postings_[fill[t.term]++] = {t.passage, t.count};
  }
  std::vector<Triple>().swap(triples_);
  out.arena_ = std::move(arena_);
  out.arena_.shrink_to_fit();
  out.offsets_ = std::move(offsets_);
  out.table_ = std::move(table_);
  out.lengths_ = std::move(lengths_);
  for (uint32_t l : out.lengths_) out.totalLength_ += l;
  *this = Builder();
  return out;
}

TermLists TermLists::fromLists(const std::vector<std::vector<std::string>>& lists) {
  Builder b;
  for (const auto& list : lists) {
    b.addTerms(list);
    b.endPassage();
  }
  return b.finish();
}

std::optional<uint32_t> TermLists::find(std::string_view term) const {
  if (table_.empty()) return std::nullopt;
  const Slot& s = table_[probe(table_, arena_, offsets_, term)];
  if (s.id1 == 0) return std::nullopt;
  return s.id1 - 1;
}

size_t TermLists::memoryBytes() const {
  return arena_.capacity() + offsets_.capacity() * 4 + table_.capacity() * sizeof(Slot) +
         lengths_.capacity() * 4 + starts_.capacity() * 4 + postings_.capacity() * sizeof(Posting);
}

// ---- BM25 ----

std::vector<double> bm25Scores(const PassageTerms& chunkTokens,
                               const std::vector<std::string>& queryTokens) {
  const size_t n = chunkTokens.size();
  if (n == 0) return {};
  const TermLists& lists = *chunkTokens.lists;
  std::vector<double> scores(n, 0.0);
  const bool prefixed = !chunkTokens.prefixOf.empty() && chunkTokens.prefixOf.size() == n;
  std::vector<uint32_t> prefixedPassages;
  uint64_t total = lists.totalLength();
  if (prefixed) {
    for (size_t p = 0; p < n; ++p) {
      int32_t i = chunkTokens.prefixOf[p];
      if (i >= 0 && size_t(i) < chunkTokens.prefixes.size()) {
        prefixedPassages.push_back(uint32_t(p));
        total += chunkTokens.prefixes[size_t(i)].size();
      }
    }
  }
  auto length = [&](size_t p) -> double {
    double len = lists.length(p);
    if (prefixed) {
      int32_t i = chunkTokens.prefixOf[p];
      if (i >= 0 && size_t(i) < chunkTokens.prefixes.size()) {
        len += double(chunkTokens.prefixes[size_t(i)].size());
      }
    }
    return len;
  };
  const double avgdl = double(total) / double(n);
  auto term = [&](double tf, double idf, size_t p) {
    double norm = avgdl > 0 ? length(p) / avgdl : 0;
    return tf * 2.2 * idf / (tf + 1.2 * (0.25 + 0.75 * norm));
  };
  std::vector<uint32_t> tf;
  std::vector<uint32_t> touched;
  for (const std::string& q : distinct(queryTokens)) {
    std::optional<uint32_t> id = lists.find(q);
    if (!prefixedPassages.empty()) {
      // Place terms in front of some passages: count them together with the passages' own.
      if (tf.empty()) tf.assign(n, 0);
      touched.clear();
      if (id) {
        for (const auto& post : lists.postings(*id)) {
          if (tf[post.passage] == 0) touched.push_back(post.passage);
          tf[post.passage] += post.count;
        }
      }
      std::vector<uint32_t> perPrefix(chunkTokens.prefixes.size(), 0);
      for (size_t i = 0; i < perPrefix.size(); ++i) {
        perPrefix[i] = uint32_t(std::count(chunkTokens.prefixes[i].begin(),
                                           chunkTokens.prefixes[i].end(), q));
      }
      for (uint32_t p : prefixedPassages) {
        uint32_t extra = perPrefix[size_t(chunkTokens.prefixOf[p])];
        if (extra == 0) continue;
        if (tf[p] == 0) touched.push_back(p);
        tf[p] += extra;
      }
      double df = double(touched.size());
      double idf = std::log((double(n) - df + 0.5) / (df + 0.5) + 1);
      for (uint32_t p : touched) {
        scores[p] += term(double(tf[p]), idf, p);
        tf[p] = 0;
      }
      continue;
    }
    if (!id) continue;
    auto posts = lists.postings(*id);
    double df = double(posts.size());
    double idf = std::log((double(n) - df + 0.5) / (df + 0.5) + 1);
    for (const auto& post : posts) scores[post.passage] += term(double(post.count), idf, post.passage);
  }
  return scores;
}

std::vector<double> bm25Scores(const std::vector<std::vector<std::string>>& chunkTokens,
                               const std::vector<std::string>& queryTokens) {
  TermLists lists = TermLists::fromLists(chunkTokens);
  PassageTerms terms{&lists, {}, {}};
  return bm25Scores(terms, queryTokens);
}

std::vector<uint32_t> bm25Shortlist(const PassageTerms& chunkTokens, std::string_view queryText,
                                    int64_t k) {
  const size_t n = chunkTokens.size();
  std::vector<std::string> terms = questionTerms(queryText);
  std::vector<uint32_t> all(n);
  for (size_t i = 0; i < n; ++i) all[i] = uint32_t(i);
  if (k < 0) k = 0;
  if (uint64_t(k) >= n || terms.empty()) return all;
  std::vector<uint32_t> order = orderDescending(bm25Scores(chunkTokens, terms));
  order.resize(size_t(k));
  return order;
}

TermCounts termCounts(const TermLists& chunkTokens) {
  TermCounts out;
  std::vector<uint32_t> frequent;
  for (uint32_t id = 0; id < chunkTokens.vocabularySize(); ++id) {
    std::string_view t = chunkTokens.term(id);
    if (characters(t) <= 4 || onlyDigits(t)) continue;
    uint32_t count = uint32_t(chunkTokens.postings(id).size());
    out.counts.emplace(std::string(t), count);
    if (count > 2) frequent.push_back(id);
  }
  for (uint32_t id : frequent) {
    std::string_view t = chunkTokens.term(id);
    out.byPrefix[firstCharacters(t, 2)].emplace_back(t);
  }
  return out;
}

TermCounts termCounts(const std::vector<std::vector<std::string>>& chunkTokens) {
  return termCounts(TermLists::fromLists(chunkTokens));
}

std::vector<std::string> spellingVariants(const std::vector<std::string>& tokens,
                                          const TermCounts& termCounts) {
  std::vector<std::string> out;
  for (const std::string& token : distinct(tokens)) {
    size_t length = characters(token);
    if (length < 7 || onlyDigits(token)) continue;
    size_t allowed = length < 10 ? 1 : 2;
    auto own = termCounts.counts.find(token);
    uint64_t c = own == termCounts.counts.end() ? 0 : own->second;
    auto filed = termCounts.byPrefix.find(firstCharacters(token, 2));
    if (filed == termCounts.byPrefix.end()) continue;
    std::vector<std::pair<std::string, uint32_t>> kept;
    for (const std::string& candidate : filed->second) {
      if (candidate == token || candidate == token + "s" ||
          (!token.empty() && token.back() == 's' &&
           candidate == std::string_view(token).substr(0, token.size() - 1))) {
        continue;
      }
      auto count = termCounts.counts.find(candidate);
      uint32_t cc = count == termCounts.counts.end() ? 0 : count->second;
      if (uint64_t(cc) <= 2 * c) continue;
      size_t candidateLength = characters(candidate);
      size_t gap = candidateLength > length ? candidateLength - length : length - candidateLength;
      if (gap > allowed || editDistance(candidate, token) > allowed) continue;
      kept.emplace_back(candidate, cc);
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (size_t i = 0; i < kept.size() && i < 2; ++i) out.push_back(kept[i].first);
  }
  return out;
}

// ---- Dense scores ----

// Independent lanes let the compiler vectorise the loop without reordering any one sum.
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
float dot(const float* a, const float* b, size_t n) {
  float lanes[16] = {};
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    for (int k = 0; k < 16; ++k) lanes[k] += a[i + size_t(k)] * b[i + size_t(k)];
  }
  float sum = 0;
  for (; i < n; ++i) sum += a[i] * b[i];
  for (int k = 0; k < 16; ++k) sum += lanes[k];
  return sum;
}

// ---- The hybrid ranking ----

CrossDocResult selectEmbedPrimary(const std::vector<Passage>& chunks,
                                  std::span<const float> vectorsFlat, int64_t dimension,
                                  std::string_view queryText, std::span<const float> queryVector,
                                  const PassageTerms* chunkTokens, const TermCounts* termCounts,
                                  int64_t charBudget, std::optional<int64_t> shortlistK,
                                  int64_t nextPassages, const PlaceBlend* place,
                                  std::optional<int64_t> perFileFirst,
                                  const std::set<std::string>& supersededFiles) {
  const RankingSettings& settings = RankingSettings::current();
  CrossDocResult result;
  const size_t n = chunks.size();

  // Documents, by filename; passages of one document usually share the same string.
  std::vector<uint32_t> docOf(n);
  std::vector<std::string_view> docNames;
  {
    std::unordered_map<std::string_view, uint32_t> ids;
    const char* lastData = nullptr;
    size_t lastSize = 0;
    uint32_t lastID = 0;
    for (size_t j = 0; j < n; ++j) {
      std::string_view f = chunks[j].filename;
      if (j > 0 && f.data() == lastData && f.size() == lastSize) {
        docOf[j] = lastID;
        continue;
      }
      auto [it, fresh] = ids.emplace(f, uint32_t(docNames.size()));
      if (fresh) docNames.push_back(f);
      docOf[j] = lastID = it->second;
      lastData = f.data();
      lastSize = f.size();
    }
  }
  result.documentsSearched = int64_t(docNames.size());
  if (n == 0 || dimension <= 0 || vectorsFlat.size() < n * size_t(dimension) ||
      queryVector.size() != size_t(dimension)) {
    return result;
  }
  const size_t d = size_t(dimension);

  std::vector<float> dense(n);
  for (size_t j = 0; j < n; ++j) {
    float s = dot(queryVector.data(), vectorsFlat.data() + j * d, d);
    dense[j] = std::isfinite(s) ? s : -std::numeric_limits<float>::infinity();
  }
  if (place && place->weight > 0 && place->queryDot.size() == n && place->passageDot.size() == n) {
    const float w = place->weight;
    for (size_t j = 0; j < n; ++j) {
      float qd = place->queryDot[j];
      if (std::isnan(qd)) continue;
      float z = w * w + 1 + 2 * w * place->passageDot[j];
      if (z > 0) {
        float blended = (dense[j] + w * qd) / std::sqrt(z);
        if (std::isfinite(blended)) dense[j] = blended;
      }
    }
  }

  std::vector<std::string> terms = questionTerms(queryText);
  if (termCounts && !terms.empty()) {
    for (auto& v : spellingVariants(terms, *termCounts)) terms.push_back(std::move(v));
  }
  const bool hasTerms = !terms.empty();
  std::vector<double> bm25;
  if (hasTerms) {
    if (chunkTokens && chunkTokens->size() == n) {
      bm25 = bm25Scores(*chunkTokens, terms);
    } else {
      TermLists::Builder b;
      for (const auto& c : chunks) {
        b.addText(c.text);
        b.endPassage();
      }
      TermLists lists = b.finish();
      bm25 = bm25Scores(PassageTerms{&lists, {}, {}}, terms);
    }
  } else {
    bm25.assign(n, 0.0);
  }

  std::vector<uint32_t> candidates;
  std::optional<int64_t> k = shortlistK ? shortlistK : settings.shortlistK;
  if (k && *k > 0 && uint64_t(*k) < n && hasTerms) {
    candidates = orderDescending(bm25);
    candidates.resize(size_t(*k));
  } else {
    candidates.resize(n);
    for (size_t j = 0; j < n; ++j) candidates[j] = uint32_t(j);
  }
  const size_t m = candidates.size();

  std::vector<double> fused(m, 0.0);
  {
    std::vector<double> keys(m);
    for (size_t c = 0; c < m; ++c) keys[c] = dense[candidates[c]];
    std::vector<uint32_t> byDense = orderDescending(keys);
    for (size_t r = 0; r < m; ++r) fused[byDense[r]] = 1.0 / (double(r) + 60);
    if (hasTerms) {
      for (size_t c = 0; c < m; ++c) keys[c] = bm25[candidates[c]];
      std::vector<uint32_t> byKeyword = orderDescending(keys);
      for (size_t r = 0; r < m; ++r) fused[byKeyword[r]] += 1.0 / (double(r) + 60);
    }
  }
  std::vector<bool> supersededDoc(docNames.size(), false);
  bool anySuperseded = false;
  if (!supersededFiles.empty()) {
    for (size_t i = 0; i < docNames.size(); ++i) {
      supersededDoc[i] = supersededFiles.count(std::string(docNames[i])) > 0;
      anySuperseded = anySuperseded || supersededDoc[i];
    }
  }
  std::vector<uint32_t> finalOrder;  // candidate positions
  {
    std::vector<uint32_t> byFused = orderDescending(fused);
    if (anySuperseded) {
      std::stable_partition(byFused.begin(), byFused.end(), [&](uint32_t c) {
        return !supersededDoc[docOf[candidates[c]]];
      });
    }
    finalOrder = std::move(byFused);
  }

  const double s0 = dense[candidates[finalOrder[0]]];
  result.confidence = std::clamp(s0, 0.0, 1.0);
  auto relative = [&](size_t j) { return s0 > 0 ? std::max<double>(dense[j], 0) / s0 : 0.0; };

  // Selection.
  const int64_t budget = std::max<int64_t>(charBudget, 1);
  const bool capped = perFileFirst && *perFileFirst >= 1 && docNames.size() >= 2;
  std::vector<int64_t> lengths(n, -1);
  auto lengthOf = [&](size_t j) {
    if (lengths[j] < 0) lengths[j] = int64_t(characters(chunks[j].text));
    return lengths[j];
  };
  struct Taken {
    size_t chunk;
    double relevance;
    bool follows;
  };
  std::vector<Taken> taken;
  struct Primary {
    size_t hit;  // index into taken
    CopyKey key;
  };
  std::vector<Primary> primaries;
  std::vector<int64_t> primaryPerDoc(docNames.size(), 0);
  std::unordered_map<std::string_view, int> returned;
  std::vector<bool> used(n, false);
  int64_t total = 0, primaryCount = 0;
  bool done = false;
  for (int pass = 0; pass < (capped ? 2 : 1) && !done; ++pass) {
    for (size_t r = 0; r < m && !done; ++r) {
      size_t j = candidates[finalOrder[r]];
      if (used[j]) continue;
      if (capped && pass == 0 && primaryPerDoc[docOf[j]] >= *perFileFirst) continue;
      if (nextPassages > 0 && returned.count(chunks[j].text)) continue;
      if (settings.nearCopies) {
        CopyKey key = copyKey(chunks[j].text);
        bool nearCopy = false;
        if (key.terms.size() > 4) {
          for (Primary& p : primaries) {
            size_t kept = taken[p.hit].chunk;
            if (docOf[kept] == docOf[j]) continue;
            if (p.key.numbers != key.numbers || jaccard(p.key.terms, key.terms) < 0.9) continue;
            nearCopy = true;
            int64_t exchanged = total - lengthOf(kept) + lengthOf(j);
            if (yearIn(chunks[j].filename) > yearIn(chunks[kept].filename) &&
                exchanged <= budget) {
              total = exchanged;
              if (--returned[chunks[kept].text] <= 0) returned.erase(chunks[kept].text);
              ++returned[chunks[j].text];
              --primaryPerDoc[docOf[kept]];
              ++primaryPerDoc[docOf[j]];
              taken[p.hit].chunk = j;
              taken[p.hit].follows = false;
              p.key = std::move(key);
            }
            break;
          }
        }
        if (nearCopy) {
          used[j] = true;
          continue;
        }
        if (!nearCopy) primaries.push_back({taken.size(), std::move(key)});
      }
      int64_t len = lengthOf(j);
      if (!taken.empty() && total + len > budget) {
        if (settings.nearCopies) primaries.pop_back();
        done = true;
        break;
      }
      taken.push_back({j, relative(j), false});
      used[j] = true;
      ++returned[chunks[j].text];
      ++primaryPerDoc[docOf[j]];
      ++primaryCount;
      total += len + 2;
      if (total >= budget) {
        done = true;
        break;
      }
      if (primaryCount <= nextPassages) {
        size_t next = j + 1;
        if (next < n && !used[next] && docOf[next] == docOf[j] &&
            !returned.count(chunks[next].text) && total + lengthOf(next) <= budget) {
          taken.push_back({next, 0.9 * relative(j), true});
          used[next] = true;
          ++returned[chunks[next].text];
          total += lengthOf(next) + 2;
        }
      }
    }
  }

  std::vector<double> docBest(docNames.size(), -1);
  for (size_t c = 0; c < m; ++c) {
    size_t j = candidates[c];
    docBest[docOf[j]] = std::max(docBest[docOf[j]], relative(j));
  }
  for (size_t i = 0; i < docNames.size(); ++i) {
    if (docBest[i] >= 0) result.docRelevance[std::string(docNames[i])] = docBest[i];
  }
  std::vector<bool> docHit(docNames.size(), false);
  for (const Taken& t : taken) {
    const Passage& c = chunks[t.chunk];
    CrossDocHit hit;
    hit.excerpt = std::string(c.text);
    hit.filename = std::string(c.filename);
    hit.sourceLocation = !c.location.empty() || c.chunkCount == 0
                             ? std::string(c.location)
                             : "chunk " + std::to_string(c.chunkNumber) + " of " +
                                   std::to_string(c.chunkCount);
    hit.relevance = t.relevance;
    hit.sectionID = hit.filename + "#" + std::to_string(t.chunk);
    hit.tokens = std::max<int64_t>(lengthOf(t.chunk) / 4, 1);
    hit.follows = t.follows;
    result.hits.push_back(std::move(hit));
    if (!docHit[docOf[t.chunk]]) {
      docHit[docOf[t.chunk]] = true;
      ++result.documentsWithHits;
    }
  }
  result.matchQuality = MatchQuality::unknown;
  return result;
}

// ---- Keyword-only selections ----

namespace {

struct ScoredSection {
  double score;
  size_t length;  // characters
};

ScoredSection scoreSection(std::string_view section, const std::vector<std::string>& terms) {
  size_t length = characters(section);
  if (length == 0) return {0, 0};
  std::string lower = lowerFast(section);
  size_t hits = 0;
  for (const auto& t : terms) hits += occurrences(lower, t);
  return {double(hits) / std::sqrt(double(length)), length};
}

double keywordConfidence(double best, std::string_view text, const std::vector<std::string>& terms) {
  std::vector<std::string> unique = distinct(terms);
  std::string lower = lowerFast(text);
  size_t found = 0;
  for (const auto& t : unique) found += lower.find(t) != std::string::npos ? 1 : 0;
  return 0.3 * std::min(5 * best, 1.0) +
         0.7 * double(found) / double(std::max<size_t>(unique.size(), 1));
}

}  // namespace

SmartSelectResult select(std::string_view text, std::string_view query) {
  std::vector<std::string> sections = splitIntoSections(text);
  if (sections.empty()) return {std::string(text), "Section 1 of 1", 0};
  const size_t n = sections.size();
  std::vector<std::string> terms = questionTerms(query);
  if (terms.empty()) {
    return {prefixCharacters(text, 8000), "Section 1 of " + std::to_string(n), 0};
  }
  std::vector<ScoredSection> scored;
  std::vector<double> keys;
  for (const auto& s : sections) {
    scored.push_back(scoreSection(s, terms));
    keys.push_back(scored.back().score);
  }
  std::vector<uint32_t> order = orderDescending(keys);
  const double best = scored[order[0]].score;
  std::vector<size_t> chosen;
  size_t length = 0;
  for (uint32_t i : order) {
    if (!chosen.empty() && scored[i].score < 0.3 * best) continue;
    if (!chosen.empty() && length + scored[i].length > 8000) break;
    chosen.push_back(i);
    length += scored[i].length;
    if (length > 7999) break;
  }
  std::sort(chosen.begin(), chosen.end());
  SmartSelectResult out;
  for (size_t i = 0; i < chosen.size(); ++i) {
    if (i) out.text += "\n\n";
    out.text += sections[chosen[i]];
  }
  out.location = "Section " + std::to_string(chosen.front() + 1) + " of " + std::to_string(n);
  out.confidence = keywordConfidence(best, out.text, terms);
  return out;
}

CrossDocResult selectAcross(const std::vector<Document>& documents, std::string_view query) {
  CrossDocResult out;
  out.documentsSearched = int64_t(documents.size());
  std::vector<std::string> terms = questionTerms(query);
  if (terms.empty()) return out;
  struct Item {
    size_t doc, section, count;
    std::string text;
    ScoredSection score;
  };
  std::vector<Item> items;
  for (size_t d = 0; d < documents.size(); ++d) {
    std::vector<std::string> sections = splitIntoSections(documents[d].text);
    for (size_t s = 0; s < sections.size(); ++s) {
      ScoredSection score = scoreSection(sections[s], terms);
      items.push_back({d, s, sections.size(), std::move(sections[s]), score});
    }
  }
  if (items.empty()) return out;
  std::vector<double> keys;
  for (const auto& it : items) keys.push_back(it.score.score);
  std::vector<uint32_t> order = orderDescending(keys);
  const double best = items[order[0]].score.score;
  std::vector<size_t> chosen{order[0]};
  size_t length = items[order[0]].score.length;
  for (size_t r = 1; r < order.size(); ++r) {
    const Item& it = items[order[r]];
    if (it.score.score < 0.3 * best) continue;
    if (length > 7999) break;
    if (length + it.score.length > 8000) continue;
    chosen.push_back(order[r]);
    length += it.score.length;
  }
  std::vector<bool> docHit(documents.size(), false);
  std::string joined;
  for (size_t i : chosen) {
    Item& it = items[i];
    CrossDocHit hit;
    hit.filename = std::string(documents[it.doc].filename);
    hit.sourceLocation =
        "Section " + std::to_string(it.section + 1) + " of " + std::to_string(it.count);
    hit.relevance = best > 0 ? it.score.score / best : 0;
    if (!joined.empty()) joined += ' ';
    joined += it.text;
    hit.excerpt = std::move(it.text);
    out.hits.push_back(std::move(hit));
    if (!docHit[it.doc]) {
      docHit[it.doc] = true;
      ++out.documentsWithHits;
    }
  }
  out.confidence = keywordConfidence(best, joined, terms);
  return out;
}

}  // namespace SmartSelect
}  // namespace zelk
