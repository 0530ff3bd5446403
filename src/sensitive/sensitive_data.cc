#include "sensitive/sensitive_data.h"

#include <unicode/regex.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "platform/unicode.h"
#include "sensitive/internal/detection_path.h"
#include "sensitive/internal/less_precise.h"
#include "sensitive/internal/pattern_search.h"
#include "sensitive/internal/text_scan.h"
#include "sensitive/internal/text_units.h"

namespace zelk::SensitiveData {
namespace {

using icu::UnicodeString;
using sensitive_internal::containsNumeric;
using sensitive_internal::digitsOf;
using sensitive_internal::isNumeric;
using sensitive_internal::isWhite;
using sensitive_internal::Match;
using sensitive_internal::matches;
using sensitive_internal::matchesAtStarts;
using sensitive_internal::searchFinds;
using sensitive_internal::SearchPath;
using sensitive_internal::Span;
using sensitive_internal::trimChars;
using sensitive_internal::trimWhite;
using C = SensitiveCategory;

constexpr uint32_t kCaseless = UREGEX_CASE_INSENSITIVE;

std::string utf8Of(const UnicodeString& text, int32_t start, int32_t end) {
  return platform::toUtf8(text.tempSubStringBetween(start, end));
}

Finding makeFinding(C category, const UnicodeString& text, int32_t start, int32_t end) {
  return Finding{category, start, end - start, utf8Of(text, start, end)};
}

// Calls f(lineStart, lineLength) for each line; empty lines kept.
void forEachLine(const UnicodeString& text, const std::function<void(int32_t, int32_t)>& f) {
  int32_t start = 0, n = text.length();
  while (true) {
    int32_t lf = text.indexOf(static_cast<char16_t>('\n'), start);
    int32_t end = lf < 0 ? n : lf;
    f(start, end - start);
    if (lf < 0) break;
    start = lf + 1;
  }
}

bool contains(const UnicodeString& text, char16_t c) { return text.indexOf(c) >= 0; }

// Narrows [start, end) of u to its part without white space at either end.
void trimBounds(const char16_t* u, int32_t& start, int32_t& end) {
  while (start < end) {
    int32_t i = start;
    UChar32 c;
    U16_NEXT(u, i, end, c);
    if (!isWhite(c)) break;
    start = i;
  }
  while (end > start) {
    int32_t i = end;
    UChar32 c;
    U16_PREV(u, start, i, c);
    if (!isWhite(c)) break;
    end = i;
  }
}

// Whether the line holds nothing but white space.
bool blank(const UnicodeString& line) {
  const char16_t* u = line.getBuffer();
  if (!u) return true;
  int32_t start = 0, end = line.length();
  trimBounds(u, start, end);
  return start == end;
}

// ---- the text as the detectors search it ---------------------------------------------------

// The keyword sets of the keyword-led patterns, in this order in Search::keywords.
enum KeywordSetIndex : size_t { kJsonKeySet = 0, kLabelSets = 1, kBankingSet = 12, kSetCount = 13 };

const sensitive_internal::KeywordIndex& keywordIndex();

struct Search {
  const UnicodeString& text;
  SearchPath path;
  // Filled for the prefiltered path only.
  sensitive_internal::ShapePlaces shapes;
  sensitive_internal::KeywordPlaces keywords;

  Search(const UnicodeString& t, SearchPath p) : text(t), path(p) {
    if (path == SearchPath::prefiltered) {
      shapes = sensitive_internal::scanShapes(text);
      keywords = keywordIndex().find(text);
    }
  }
  bool whole() const { return path == SearchPath::wholeText; }

  // Whether a pattern each of whose alternatives opens with "^" matches in subject: on the
  // prefiltered path tried at the subject's start only, where any match must begin.
  bool anchoredFinds(const std::string& pattern, const UnicodeString& subject) const {
    if (whole()) return searchFinds(pattern, subject);
    static const std::vector<int32_t> kStart{0};
    return !matchesAtStarts(pattern, subject, kStart).empty();
  }

  // The matches of a pattern whose every match begins with a keyword of the given set.
  std::vector<Match> atKeywords(const std::string& pattern, size_t set, uint32_t flags = 0) const {
    if (whole() || !keywords.exact) return matches(pattern, text, flags);
    return matchesAtStarts(pattern, text, keywords.places[set], flags);
  }
  // The matches of a pattern that can begin only at the given places.
  std::vector<Match> at(const std::string& pattern, const std::vector<int32_t>& places) const {
    if (whole()) return matches(pattern, text);
    return matchesAtStarts(pattern, text, places);
  }
  // The starts of the digit runs of exactly `count` digits followed by one of `next`: where a
  // pattern opening with "(?<![\d...])\d{count}[next]" can begin.
  std::vector<int32_t> digitRunsOf(int32_t count, std::u16string_view next) const {
    std::vector<int32_t> out;
    for (const sensitive_internal::DigitRun& r : shapes.digitRuns) {
      if (r.count == count && r.end < text.length() &&
          next.find(text.charAt(r.end)) != std::u16string_view::npos) {
        out.push_back(r.start);
      }
    }
    return out;
  }
};

// ---- header names -------------------------------------------------------------------------

const std::array<std::pair<const char*, C>, 13> kHeaderPatterns{{
    {"^(ssn|ssn #|social security( (no|number|#))?|itin|tin|tax id( (no|number))?|taxpayer "
     "id(entification)?( (no|number))?)$",
     C::ssn},
    {"^(ein|fein|employer id(entification)?( (no|number))?)$", C::ein},
    {"^(passport( (no|number|#|id))?)$", C::passport},
    {"^(dob|date of birth|birth ?date)$", C::dateOfBirth},
    {"^(account (no|num|number|#)|acct( (no|num|number|#))?|bank account( (no|number|#))?)$",
     C::bankAccount},
    {"^(routing( (no|number|#))?|aba( (no|number|routing))?|rtn)$", C::routing},
    {"^iban$", C::iban},
    {"^(card (no|num|number)|credit card( (no|number))?|cc (no|number))$", C::card},
    {"^(drivers? licen[cs]e( (no|number|#))?|dl (no|number|#))$", C::driversLicense},
    {"^(sin|social insurance( (no|number))?)$", C::canadaSIN},
    {"^(ird( (no|number))?)$", C::nzIRD},
    {"^(nino|ni number|national insurance( (no|number))?)$", C::ukNINO},
    {"^(tfn|tax file( (no|number))?)$", C::auTFN},
}};

// All thirteen at once: most keys name nothing, and one search tells so.
const std::string& anyHeaderPattern() {
  static const std::string pattern = [] {
    std::string p;
    for (const auto& [text, category] : kHeaderPatterns) {
      if (!p.empty()) p += "|";
      p += "(?:" + std::string(text) + ")";
    }
    return p;
  }();
  return pattern;
}

UnicodeString headerKeyOf(const UnicodeString& text) {
  UnicodeString key = trimChars(text, UnicodeString(u" \"'*`"));
  key.toLower(icu::Locale::getRoot());
  std::u16string collapsed;
  collapsed.reserve(static_cast<size_t>(key.length()));
  bool inRun = false;
  for (int32_t i = 0; i < key.length(); ++i) {
    char16_t c = key.charAt(i);
    if (c == '_' || c == '.' || c == '-') {
      if (!inRun) collapsed.push_back(u' ');
      inRun = true;
      continue;
    }
    inRun = false;
    collapsed.push_back(c);
  }
  std::u16string spaced;
  spaced.reserve(collapsed.size());
  for (size_t i = 0; i < collapsed.size(); ++i) {
    char16_t c = collapsed[i];
    if (c == ' ' && i > 0 && collapsed[i - 1] == ' ') continue;
    spaced.push_back(c);
  }
  return trimWhite(UnicodeString(spaced.data(), static_cast<int32_t>(spaced.size())));
}

// The header patterns are anchored at both ends, and every text they match begins with one of
// these words followed by a space or the end: a key that begins otherwise names no category.
bool mayNameCategory(const UnicodeString& key) {
  static const std::array<std::u16string_view, 33> kFirstWords{
      u"ssn",      u"social",  u"itin",   u"tin",      u"tax",     u"taxpayer", u"ein",
      u"fein",     u"employer", u"passport", u"dob",   u"date",    u"birth",    u"birthdate",
      u"account",  u"acct",    u"bank",   u"routing",  u"aba",     u"rtn",      u"iban",
      u"card",     u"credit",  u"cc",     u"driver",   u"drivers", u"dl",       u"sin",
      u"ird",      u"nino",    u"ni",     u"national", u"tfn"};
  int32_t space = key.indexOf(u' ');
  int32_t length = space < 0 ? key.length() : space;
  std::u16string_view first(key.getBuffer(), static_cast<size_t>(length));
  return std::find(kFirstWords.begin(), kFirstWords.end(), first) != kFirstWords.end();
}

std::optional<C> headerCategoryOf(const UnicodeString& text,
                                  SearchPath path = SearchPath::prefiltered) {
  UnicodeString key = headerKeyOf(text);
  if (key.isEmpty() || key.length() > 64) return std::nullopt;
  if (path == SearchPath::wholeText) {
    if (!searchFinds(anyHeaderPattern(), key)) return std::nullopt;
    for (const auto& [pattern, category] : kHeaderPatterns) {
      if (searchFinds(pattern, key)) return category;
    }
    return std::nullopt;
  }
  if (!mayNameCategory(key)) return std::nullopt;
  // Each alternative opens with "^", so a match can begin only at the key's start.
  static const std::vector<int32_t> kStart{0};
  auto found = [&](const std::string& pattern) {
    return !matchesAtStarts(pattern, key, kStart).empty();
  };
  if (!found(anyHeaderPattern())) return std::nullopt;
  for (const auto& [pattern, category] : kHeaderPatterns) {
    if (found(pattern)) return category;
  }
  return std::nullopt;
}

// ---- detector 1: delimited tables ---------------------------------------------------------

struct Cell {
  int32_t start;  // in the line
  int32_t end;
};

std::vector<Cell> splitCells(const UnicodeString& line, char16_t sep) {
  std::vector<Cell> cells;
  int32_t start = 0;
  for (int32_t i = 0; i < line.length(); ++i) {
    if (line.charAt(i) == sep) {
      cells.push_back({start, i});
      start = i + 1;
    }
  }
  cells.push_back({start, line.length()});
  return cells;
}

struct ColumnHeader {
  char16_t sep;
  std::map<size_t, C> categories;
};

// The findings of one data row under its header.
void columnRow(const UnicodeString& text, int32_t lineStart, const UnicodeString& line,
               const std::vector<Cell>& cells, const ColumnHeader& header,
               std::vector<Finding>& out) {
  for (const auto& [position, category] : header.categories) {
    if (position >= cells.size()) continue;
    UnicodeString cell = line.tempSubStringBetween(cells[position].start, cells[position].end);
    UnicodeString value = trimChars(cell, UnicodeString(u" \"'"));
    if (value.isEmpty() || !plausible(platform::toUtf8(value), category)) continue;
    int32_t start = lineStart + cells[position].start + cell.indexOf(value);
    int32_t end = start + value.length();
    if (end > text.length()) continue;
    out.push_back(makeFinding(category, text, start, end));
  }
}

// The plain way, line by line.
void columnsPlain(const UnicodeString& text, std::vector<Finding>& out) {
  using Header = ColumnHeader;
  std::optional<Header> active;
  forEachLine(text, [&](int32_t lineStart, int32_t lineLength) {
    UnicodeString line = text.tempSubString(lineStart, lineLength);
    if (trimWhite(line).isEmpty()) {
      active.reset();
      return;
    }
    char16_t sep = contains(line, '|') ? u'|' : contains(line, '\t') ? u'\t' : u',';
    std::vector<Cell> cells = splitCells(line, sep);

    bool header = cells.size() >= 2;
    for (size_t i = 0; header && i < cells.size(); ++i) {
      UnicodeString cell = trimWhite(line.tempSubStringBetween(cells[i].start, cells[i].end));
      if (cell.length() >= 41 || containsNumeric(cell) || contains(cell, ':')) header = false;
    }
    if (header) {
      Header h{sep, {}};
      for (size_t i = 0; i < cells.size(); ++i) {
        auto c = headerCategoryOf(line.tempSubStringBetween(cells[i].start, cells[i].end),
                                  SearchPath::wholeText);
        if (c) h.categories[i] = *c;
      }
      if (!h.categories.empty()) {
        active = std::move(h);
        return;
      }
    }
    if (!active) return;
    if (active->sep != sep) {
      active.reset();
      return;
    }
    columnRow(text, lineStart, line, cells, *active, out);
  });
}

bool numericOrColonIn(const char16_t* u, int32_t start, int32_t end) {
  for (int32_t i = start; i < end;) {
    UChar32 c;
    U16_NEXT(u, i, end, c);
    if (c == ':' || isNumeric(c)) return true;
  }
  return false;
}

// The same as columnsPlain without copying lines or cells: one pass finds a line's end and
// separators, and most lines fail the header test on their first cell.
void columnsFast(const UnicodeString& text, std::vector<Finding>& out) {
  const char16_t* u = text.getBuffer();
  const int32_t n = text.length();
  if (!u) return;
  std::optional<ColumnHeader> active;
  for (int32_t lineStart = 0;;) {
    int32_t lineEnd = lineStart;
    bool pipe = false, tab = false, comma = false;
    for (; lineEnd < n && u[lineEnd] != '\n'; ++lineEnd) {
      char16_t c = u[lineEnd];
      pipe |= c == '|';
      tab |= c == '\t';
      comma |= c == ',';
    }
    int32_t a = lineStart, b = lineEnd;
    trimBounds(u, a, b);
    if (a == b) {
      active.reset();
    } else {
      char16_t sep = pipe ? u'|' : tab ? u'\t' : u',';
      bool header = pipe || tab || comma;  // at least two cells
      for (int32_t cellStart = lineStart; header;) {
        int32_t cellEnd = cellStart;
        while (cellEnd < lineEnd && u[cellEnd] != sep) ++cellEnd;
        int32_t x = cellStart, y = cellEnd;
        trimBounds(u, x, y);
        if (y - x >= 41 || numericOrColonIn(u, x, y)) header = false;
        if (cellEnd >= lineEnd) break;
        cellStart = cellEnd + 1;
      }
      bool handled = false;
      if (header || active) {
        UnicodeString line = text.tempSubStringBetween(lineStart, lineEnd);
        std::vector<Cell> cells = splitCells(line, sep);
        if (header) {
          ColumnHeader h{sep, {}};
          for (size_t i = 0; i < cells.size(); ++i) {
            auto c = headerCategoryOf(line.tempSubStringBetween(cells[i].start, cells[i].end));
            if (c) h.categories[i] = *c;
          }
          if (!h.categories.empty()) {
            active = std::move(h);
            handled = true;
          }
        }
        if (!handled && active) {
          if (active->sep != sep) {
            active.reset();
          } else {
            columnRow(text, lineStart, line, cells, *active, out);
          }
        }
      }
    }
    if (lineEnd >= n) break;
    lineStart = lineEnd + 1;
  }
}

// ---- detector 2: space-aligned tables -----------------------------------------------------

const std::array<std::pair<const char*, FlatRole>, 15> kFlatRoles{{
    {"date\\s+of\\s+birth|birth\\s?date|d\\.o\\.b\\.?|dob(?![a-z])|born(?:\\s+on)?",
     FlatRole::field(C::dateOfBirth)},
    {"passport\\s*(?:no\\.?|number|num\\.?|#|id)(?![a-z])|passport(?![a-z])(?!\\s*(?:expir|exp\\."
     "|exp(?![a-z])|issu|country|valid|date|type|holder|name|photo|office|authority|place))",
     FlatRole::field(C::passport)},
    {"driver'?s?\\s+licen[cs]e(?:\\s*(?:no\\.?|number|#)(?![a-z]))?|licen[cs]e\\s*(?:no\\.?|"
     "number|#)|dl\\s*(?:no\\.?|#)",
     FlatRole::field(C::driversLicense)},
    {"ssn(?![a-z])|social\\s+security(?:\\s*(?:no\\.?|number|#)(?![a-z]))?|itin(?![a-z])|"
     "taxpayer\\s+id(?:entification)?(?:\\s*(?:no\\.?|number))?",
     FlatRole::field(C::ssn)},
    {"fein(?![a-z])|ein(?![a-z])|employer\\s+id(?:entification)?(?:\\s*(?:no\\.?|number))?",
     FlatRole::field(C::ein)},
    {"sin(?![a-z])|social\\s+insurance(?:\\s*(?:no\\.?|number))?",
     FlatRole::field(C::canadaSIN)},
    {"nino(?![a-z])|ni\\s+number|national\\s+insurance(?:\\s*(?:no\\.?|number))?",
     FlatRole::field(C::ukNINO)},
    {"tfn(?![a-z])|tax\\s+file(?:\\s*(?:no\\.?|number))?", FlatRole::field(C::auTFN)},
    {"ird(?:\\s*(?:no\\.?|number))?(?![a-z])", FlatRole::field(C::nzIRD)},
    {"(?:bank\\s+)?account\\s*(?:no\\.?|num\\.?|number|#)|bank\\s+account|acct\\.?(?:\\s*(?:no\\."
     "?|num\\.?|number|#))?(?![a-z])",
     FlatRole::field(C::bankAccount)},
    {"routing(?:\\s*(?:no\\.?|number|#))?|aba(?![a-z])|rtn(?![a-z])", FlatRole::field(C::routing)},
    {"iban(?![a-z])", FlatRole::field(C::iban)},
    {"credit\\s+card(?:\\s*(?:no\\.?|number))?|card\\s*(?:no\\.?|num\\.?|number)",
     FlatRole::field(C::card)},
    {"(?:[a-z]+\\s+)?(?:expiry|expiration|expires|exp\\.)(?:\\s+date(?![a-z])(?!\\s+of\\s+birth))?"
     "|(?:date\\s+of\\s+)?issued?(?:\\s+(?:date(?![a-z])(?!\\s+of\\s+birth)|on))?|valid\\s+(?:"
     "until|from|to|thru)|(?:[a-z]+\\s+)?dates?(?![a-z])(?!\\s+of\\s+birth)",
     FlatRole::date()},
    {"[a-z]+\\s+(?:no\\.?|number|num\\.?|#|id|ref(?:erence)?|code)(?![a-z])|ref(?:erence)?(?![a-"
     "z])|pnr(?![a-z])|ticket(?![a-z])|record\\s+locator|confirmation",
     FlatRole::id()},
}};

const std::string& flatHeaderPattern() {
  static const std::string pattern = [] {
    std::string p = "(?<![a-z0-9])(?:";
    for (size_t i = 0; i < kFlatRoles.size(); ++i) {
      if (i) p += "|";
      p += "(" + std::string(kFlatRoles[i].first) + ")";
    }
    return p + ")";
  }();
  return pattern;
}

bool endsWith(const UnicodeString& text, const char16_t* suffix) {
  UnicodeString s(suffix);
  return text.length() >= s.length() && text.endsWith(s);
}

std::optional<std::vector<FlatRole>> flatHeaderOf(const UnicodeString& line) {
  const char16_t* u = line.getBuffer();
  if (!u) return std::nullopt;
  int32_t start = 0, end = line.length();
  trimBounds(u, start, end);
  // Long lines (most prose) fail before anything is copied.
  if (end - start > 160 || end == start) return std::nullopt;
  UnicodeString trimmed(line, start, end - start);
  if (containsNumeric(trimmed)) return std::nullopt;
  for (char16_t c : {u':', u'|', u'\t', u','}) {
    if (contains(trimmed, c)) return std::nullopt;
  }
  char16_t last = trimmed.charAt(trimmed.length() - 1);
  if (last == '?' || last == '!') return std::nullopt;

  int words = 0, upperish = 0;
  bool inWord = false;
  for (int32_t i = 0; i < trimmed.length();) {
    UChar32 c = trimmed.char32At(i);
    if (isWhite(c)) {
      inWord = false;
    } else if (!inWord) {
      inWord = true;
      ++words;
      if (!u_isalpha(c) || u_isupper(c)) ++upperish;
    }
    i += U16_LENGTH(c);
  }
  if (words < 2 || words > 20) return std::nullopt;
  if (last == '.') {
    UnicodeString lower = trimmed;
    lower.toLower(icu::Locale::getRoot());
    if (!endsWith(lower, u"no.") && !endsWith(lower, u"d.o.b.")) return std::nullopt;
  }
  if (2 * upperish < words) return std::nullopt;

  std::vector<FlatRole> roles;
  bool anyField = false;
  UnicodeString subject = trimmed;  // the matcher needs a text that outlives it
  for (const Match& m : matches(flatHeaderPattern(), subject, kCaseless)) {
    for (size_t g = 1; g <= kFlatRoles.size(); ++g) {
      if (m.group(g).present()) {
        roles.push_back(kFlatRoles[g - 1].second);
        if (kFlatRoles[g - 1].second.kind == FlatRole::Kind::field) anyField = true;
        break;
      }
    }
  }
  if (!anyField) return std::nullopt;
  return roles;
}

bool overlaps(const Span& a, const Span& b) { return a.start < b.end && b.start < a.end; }

void flatColumns(const UnicodeString& text, std::vector<Finding>& out) {
  static const std::string kSentence = "[a-z]{2}[.!?]\\s+[A-Z]|[a-z]{2}\\.\\s*$";
  static const std::string kDate =
      "(?<![\\dA-Za-z])(?:\\d{1,2}[/.-]\\d{1,2}[/.-]\\d{2,4}|\\d{4}-\\d{2}-\\d{2}|\\d{1,2}[ -]"
      "(?:[A-Za-z]{3,9}\\.?)[ -],?\\s?\\d{4}|[A-Za-z]{3,9}\\.? \\d{1,2},? \\d{4})(?![\\dA-Za-z])";
  static const std::string kId =
      "(?<![A-Za-z0-9-])(?=[A-Za-z0-9-]*\\d)[A-Za-z0-9][A-Za-z0-9-]{4,33}(?![A-Za-z0-9-])";
  std::optional<std::vector<FlatRole>> active;
  forEachLine(text, [&](int32_t lineStart, int32_t lineLength) {
    UnicodeString line = text.tempSubString(lineStart, lineLength);
    if (blank(line)) {
      active.reset();
      return;
    }
    if (auto roles = flatHeaderOf(line)) {
      active = std::move(roles);
      return;
    }
    if (!active) return;
    UnicodeString subject = line;
    if (!containsNumeric(line) || contains(line, '|') || contains(line, '\t') ||
        line.length() > 300 || searchFinds(kSentence, subject)) {
      active.reset();
      return;
    }
    std::vector<Span> dates, ids;
    for (const Match& m : matches(kDate, subject)) dates.push_back(m.whole);
    for (const Match& m : matches(kId, subject)) {
      bool clash = std::any_of(dates.begin(), dates.end(),
                               [&](const Span& d) { return overlaps(d, m.whole); });
      if (!clash) ids.push_back(m.whole);
    }
    const std::vector<FlatRole>& roles = *active;
    auto textOf = [&](const Span& s) { return utf8Of(subject, s.start, s.end); };
    for (size_t p = 0; p < roles.size(); ++p) {
      const FlatRole& r = roles[p];
      if (r.kind != FlatRole::Kind::field) continue;
      C c = r.category;
      std::vector<Span> candidates;
      std::function<bool(const FlatRole&)> sibling;
      if (c == C::dateOfBirth) {
        candidates = dates;
        sibling = [](const FlatRole& o) {
          return o.kind == FlatRole::Kind::date ||
                 (o.kind == FlatRole::Kind::field && o.category == C::dateOfBirth);
        };
      } else if (c == C::passport || c == C::driversLicense) {
        candidates = ids;
        sibling = [](const FlatRole& o) {
          return o.kind == FlatRole::Kind::id ||
                 (o.kind == FlatRole::Kind::field &&
                  (o.category == C::passport || o.category == C::driversLicense));
        };
      } else {
        for (const Span& s : ids) {
          if (plausible(textOf(s), c)) candidates.push_back(s);
        }
        sibling = [c](const FlatRole& o) {
          return o.kind == FlatRole::Kind::field && o.category == c;
        };
      }
      size_t siblings = 0, rank = 0;
      for (size_t q = 0; q < roles.size(); ++q) {
        if (!sibling(roles[q])) continue;
        if (q < p) ++rank;
        ++siblings;
      }
      std::vector<Span> taken;
      if (candidates.size() == siblings) {
        if (rank < candidates.size()) taken.push_back(candidates[rank]);
      } else {
        taken = candidates;
      }
      for (const Span& s : taken) {
        if (c == C::dateOfBirth || plausible(textOf(s), c)) {
          out.push_back(makeFinding(c, text, lineStart + s.start, lineStart + s.end));
        }
      }
    }
  });
}

// ---- detector 3: JSON keys ----------------------------------------------------------------

// Every match of the key pattern begins with one of these (any case).
const sensitive_internal::KeywordSet kJsonKeyWords{
    {u"\"ssn", u"\"social_security", u"\"tax", u"\"tin", u"\"itin", u"\"ein", u"\"passport",
     u"\"dob", u"\"date_of_birth", u"\"birth", u"\"account_", u"\"routing", u"\"iban",
     u"\"card_number", u"\"driver"},
    false};

void jsonKeys(const Search& search, std::vector<Finding>& out) {
  const UnicodeString& text = search.text;
  static const std::string kPattern =
      "\"(?i:ssn|social_security(?:_number)?|tax_?id|tin|itin|ein|passport(?:_number|_no)?|dob|"
      "date_of_birth|birth_?date|account_(?:number|no)|routing(?:_number)?|iban|card_number|"
      "drivers?_licen[cs]e(?:_number)?)\"\\s*:\\s*\"?([^\",}\\]\\n]+?)\"?\\s*(?=[,}\\]\\n])";
  for (const Match& m : search.atKeywords(kPattern, kJsonKeySet)) {
    Span g = m.group(1);
    if (!g.present()) continue;
    int32_t closing = text.indexOf(static_cast<char16_t>('"'), m.whole.start + 1);
    if (closing < 0 || closing > m.whole.end) continue;
    auto c = headerCategoryOf(text.tempSubStringBetween(m.whole.start + 1, closing), search.path);
    if (!c) continue;
    std::string value = utf8Of(text, g.start, g.end);
    if (plausible(value, *c)) out.push_back(Finding{*c, g.start, g.length(), value});
  }
}

// ---- detector 4: labels -------------------------------------------------------------------

enum class LabelCheck { ssn, card, always, aba, tfn, bankDigits, sin, ird };

struct LabelPattern {
  std::string pattern;
  C category;
  LabelCheck check;
  sensitive_internal::KeywordSet keywords;  // every match begins with one of these
};

const std::array<LabelPattern, 11> kLabelPatterns{{
    {"\\b(?i:ssn|social security|itin|tin|taxpayer id(?:entification)?)\\s*(?i:no\\.?|number|"
     "num\\.?|#)?\\s*[:#.]?\\s*(\\d{3}[- ]?\\d{2}[- ]?\\d{4})(?![\\d-])",
     C::ssn, LabelCheck::ssn,
     {{u"ssn", u"social security", u"itin", u"tin", u"taxpayer id"}}},
    {"\\b(?i:card|credit card|cc|visa|mastercard|amex)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?"
     "\\s*(\\d{13,19})(?!\\d)",
     C::card, LabelCheck::card,
     {{u"card", u"credit card", u"cc", u"visa", u"mastercard", u"amex"}}},
    {"\\b(?i:ein|employer id(?:entification)?)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*("
     "\\d{9})(?!\\d)",
     C::ein, LabelCheck::always,
     {{u"ein", u"employer id"}}},
    {"\\b(?i:routing|aba|rtn)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*(\\d{9})(?!\\d)",
     C::routing, LabelCheck::aba,
     {{u"routing", u"aba", u"rtn"}}},
    {"\\b(?i:tfn|tax file)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*(\\d{3} ?\\d{3} ?\\d{2,3}"
     ")(?!\\d)",
     C::auTFN, LabelCheck::tfn,
     {{u"tfn", u"tax file"}}},
    {"\\b(?i:passport)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*((?=[A-Z0-9]*\\d)[A-Z0-9]{6,"
     "9})(?![A-Z0-9])",
     C::passport, LabelCheck::always,
     {{u"passport"}}},
    {"\\b(?i:driver'?s?\\s+licen[cs]e)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*((?=[A-Z0-9-"
     "]*\\d)[A-Z0-9][A-Z0-9-]{4,14})(?![A-Z0-9])",
     C::driversLicense, LabelCheck::always,
     {{u"driver"}}},
    {"\\b(?i:(?:bank )?account (?:no\\.?|number|num\\.?|#)|bank account|acct\\.? ?(?:no\\.?|"
     "number|#)|a/c no\\.?)\\s*[:#.]?\\s*(\\d[\\d -]{4,20}\\d)(?!\\d)",
     C::bankAccount, LabelCheck::bankDigits,
     {{u"bank", u"account", u"acct", u"a/c"}}},
    {"\\b(?i:sin|social insurance)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*(\\d{3}[- ]?\\d{3}"
     "[- ]?\\d{3})(?![\\d-])",
     C::canadaSIN, LabelCheck::sin,
     {{u"sin", u"social insurance"}}},
    {"\\b(?i:ird)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*(\\d{2,3}[- ]?\\d{3}[- ]?\\d{3})(?!"
     "[\\d-])",
     C::nzIRD, LabelCheck::ird,
     {{u"ird"}}},
    {"\\b(?i:date of birth|d\\.o\\.b\\.?|dob|birth ?date|born(?: on)?)\\s*[:#.]?\\s*(\\d{1,2}[/.-]"
     "\\d{1,2}[/.-]\\d{2,4}|\\d{4}-\\d{2}-\\d{2}|\\d{1,2} [A-Z][a-z]{2,8},? \\d{4}|[A-Z][a-z]{2,8}"
     " \\d{1,2},? \\d{4})",
     C::dateOfBirth, LabelCheck::always,
     {{u"date of birth", u"d.o.b", u"dob", u"birth", u"born"}}},
}};

bool labelCheckHolds(LabelCheck check, const std::string& value) {
  std::string digits = digitsOf(value);
  switch (check) {
    case LabelCheck::ssn: return ssnValid(digits);
    case LabelCheck::card: return cardValid(value);
    case LabelCheck::always: return true;
    case LabelCheck::aba: return abaValid(value);
    case LabelCheck::tfn: return tfnValid(digits);
    case LabelCheck::bankDigits: return digits.size() >= 6;
    case LabelCheck::sin: return sinValid(digits);
    case LabelCheck::ird: return irdValid(digits);
  }
  return false;
}

void labeled(const Search& search, std::vector<Finding>& out) {
  const UnicodeString& text = search.text;
  for (size_t i = 0; i < kLabelPatterns.size(); ++i) {
    const LabelPattern& p = kLabelPatterns[i];
    for (const Match& m : search.atKeywords(p.pattern, kLabelSets + i)) {
      Span g = m.group(1);
      if (!g.present()) continue;
      std::string value = utf8Of(text, g.start, g.end);
      if (labelCheckHolds(p.check, value)) out.push_back(Finding{p.category, g.start, g.length(), value});
    }
  }
}

// ---- detector 5: shape and checksum -------------------------------------------------------

void validated(const Search& search, std::vector<Finding>& out) {
  const UnicodeString& text = search.text;
  const sensitive_internal::ShapePlaces& shapes = search.shapes;
  static const std::string kMrz2 =
      "(?<![A-Z0-9<])[A-Z0-9<]{9}[0-9][A-Z<]{3}[0-9]{6}[0-9][MFX<][0-9]{6}[0-9][A-Z0-9<]{14,16}(?!"
      "[A-Z0-9<])";
  static const std::string kMrz1 = "(?<![A-Z0-9<])P[A-Z<][A-Z<]{3}[A-Z<]{20,39}(?![A-Z0-9<])";
  static const std::string kSsn = "(?<![\\d.-])(\\d{3})-(\\d{2})-(\\d{4})(?![\\d-])";
  static const std::string kEin = "(?<![\\d-])\\d{2}-\\d{7}(?![\\d-])";
  static const std::string kCard =
      "(?<![\\d.,-])\\d{4}(?:[ -]\\d{4}){2}[ -]\\d{1,7}(?![\\d.,-]*\\d)|(?<![\\d.,-])\\d{4}[ -]\\d{"
      "6}[ -]\\d{5}(?![\\d.,-]*\\d)";
  static const std::string kIban = "(?<![A-Z0-9])[A-Z]{2}\\d{2}(?: ?[A-Z0-9]){11,30}(?![A-Z0-9])";
  static const std::string kNino =
      "(?<![A-Z0-9])(?!BG|GB|NK|KN|TN|NT|ZZ)[A-CEGHJ-PR-TW-Z][A-CEGHJ-NPR-TW-Z] ?\\d{2} ?\\d{2} "
      "?\\d{2} ?[A-D](?![A-Z0-9])";
  auto add = [&](C c, const Match& m) {
    out.push_back(makeFinding(c, text, m.whole.start, m.whole.end));
  };
  for (const Match& m : search.at(kMrz2, shapes.mrzLine2)) {
    std::string v = utf8Of(text, m.whole.start, m.whole.end);
    if (v.size() == 44 && mrzLine2Valid(v)) add(C::passportMRZ, m);
  }
  for (const Match& m : search.at(kMrz1, shapes.mrzLine1)) {
    if (text.tempSubStringBetween(m.whole.start, m.whole.end).indexOf(UnicodeString(u"<<")) >= 0) {
      add(C::passportMRZ, m);
    }
  }
  // Each of these opens with a look-behind that refuses a digit, then a fixed count of digits
  // and a separator: it can begin only at a digit run of that length followed by that separator.
  auto noPlaces = std::vector<int32_t>();
  for (const Match& m : search.at(kSsn, search.whole() ? noPlaces : search.digitRunsOf(3, u"-"))) {
    if (ssnValid(digitsOf(text.tempSubStringBetween(m.whole.start, m.whole.end)))) add(C::ssn, m);
  }
  for (const Match& m : search.at(kEin, search.whole() ? noPlaces : search.digitRunsOf(2, u"-"))) {
    if (einPrefixValid(digitsOf(text.tempSubStringBetween(m.whole.start, m.whole.end)))) {
      add(C::ein, m);
    }
  }
  for (const Match& m :
       search.at(kCard, search.whole() ? noPlaces : search.digitRunsOf(4, u" -"))) {
    if (cardValid(digitsOf(text.tempSubStringBetween(m.whole.start, m.whole.end)))) add(C::card, m);
  }
  for (const Match& m : search.at(kIban, shapes.iban)) {
    if (ibanValid(utf8Of(text, m.whole.start, m.whole.end))) add(C::iban, m);
  }
  for (const Match& m : search.at(kNino, shapes.nino)) add(C::ukNINO, m);
}

// ---- detector 6: long numbers near banking words ------------------------------------------

// Long enough for any account number with room to spare; a run of digits longer than this
// without a break is cut, and its pieces are judged as numbers of their own (all far too long).
constexpr int32_t kCandidateWindow = 4096;

const sensitive_internal::KeywordSet kBankingWords{
    {u"account", u"acct", u"routing", u"bank", u"iban"}, true};

// The starts of the digit runs where a candidate can begin that the filters below may keep. A
// candidate holds only digits, "-" and " ", so it lies within one chain of digit runs joined by
// those characters; a chain with fewer than 8 digits, or with no banking word within 3000 units
// of it, yields no candidate that survives steps a and b.
std::vector<int32_t> accountPlaces(const Search& search, const std::vector<int32_t>& words) {
  const std::vector<sensitive_internal::DigitRun>& runs = search.shapes.digitRuns;
  std::vector<int32_t> places;
  for (size_t a = 0; a < runs.size();) {
    size_t b = a;
    int64_t digits = runs[a].count;
    while (b + 1 < runs.size() && runs[b + 1].joined) digits += runs[++b].count;
    if (digits >= 8) {
      auto near = std::lower_bound(words.begin(), words.end(), runs[a].start - 3000);
      if (near != words.end() && *near <= runs[b].end + 3000) {
        for (size_t k = a; k <= b; ++k) places.push_back(runs[k].start);
      }
    }
    a = b + 1;
  }
  return places;
}

void accountShaped(const Search& search, std::vector<Finding>& out) {
  const UnicodeString& text = search.text;
  static const std::string kBanking =
      "\\b(?:(?:bank\\s+)?account\\s*(?:no\\b\\.?|num\\b\\.?|number|#)|acct\\b|routing|bank\\s+"
      "account|iban\\b)";
  static const std::string kCandidate =
      "(?<![\\p{L}\\d$€£¥.,/:#-])\\d+(?:-\\d{2,}| \\d{3,})*(?![\\p{L}\\d%]|[.,/:-]\\d)";
  static const std::string kYear = "^(?:19|20)\\d{2}$";
  // Telephone, ZIP and year-range shapes, and dates written with hyphens: a statement's
  // posting dates sit next to banking words and are not account numbers.
  static const std::string kSkipShapes =
      "^(?:1[- ])?\\d{3}[- ]\\d{3}[- ]\\d{4}$|^\\d{5}-\\d{4}$|^\\d{5}-\\d{3}$|^(?:19|20)\\d{2}-(?:19|"
      "20)\\d{2}$"
      "|^(?:19|20)\\d{2}-(?:0[1-9]|1[0-2])-(?:0[1-9]|[12]\\d|3[01])$"
      "|^(?:0[1-9]|[12]\\d|3[01])-(?:0[1-9]|1[0-2])-(?:19|20)\\d{2}$"
      "|^(?:0[1-9]|1[0-2])-(?:0[1-9]|[12]\\d|3[01])-(?:19|20)\\d{2}$";
  static const std::string kCompactDate =
      "^(?:19|20)\\d{2}(?:0[1-9]|1[0-2])(?:0[1-9]|[12]\\d|3[01])$";
  static const std::string kPhoneLabel =
      "(?i)\\b(?:phone|ph|fax|tel|mobile|mob|cell|whatsapp)\\b[^\\n]*$";
  static const std::string kDialPrefix = "(?:\\+|\\b00)\\d{0,4}[ -]?(?:\\(0\\)[ -]?)?$";

  std::vector<int32_t> words;
  for (const Match& m : search.atKeywords(kBanking, kBankingSet, kCaseless)) {
    words.push_back(m.whole.start);
  }
  if (words.empty()) return;

  // A candidate holds only digits and single "-" or " " separators followed by digits, so no
  // candidate crosses a place next to any other character or between two separators.
  auto runChar = [&](int32_t i) {
    char16_t c = text.charAt(i);
    return c == '-' || c == ' ' || u_isdigit(c);
  };
  auto separator = [&](int32_t i) {
    char16_t c = text.charAt(i);
    return c == '-' || c == ' ';
  };
  auto safeCut = [&](int32_t c) {
    return !runChar(c - 1) || !runChar(c) || (separator(c - 1) && separator(c));
  };
  std::vector<Match> candidates;
  if (search.whole()) {
    candidates = sensitive_internal::matchesInRegions(
        kCandidate, text, sensitive_internal::windows(text, kCandidateWindow, safeCut));
  } else if (std::vector<int32_t> places = accountPlaces(search, words); !places.empty()) {
    // The same windows as the whole-text search, each searched at its places only.
    size_t p = 0;
    for (const Span& w : sensitive_internal::windows(text, kCandidateWindow, safeCut)) {
      std::vector<int32_t> here;
      for (; p < places.size() && places[p] < w.end; ++p) {
        if (places[p] >= w.start) here.push_back(places[p]);
      }
      if (here.empty()) continue;
      for (Match& m : matchesAtStarts(kCandidate, text, here, 0, w.end)) {
        candidates.push_back(std::move(m));
      }
      if (p == places.size()) break;
    }
  }
  for (const Match& m : candidates) {
    UnicodeString candidate = text.tempSubStringBetween(m.whole.start, m.whole.end);
    std::string digits = digitsOf(candidate);
    bool hyphen = contains(candidate, '-');
    bool grouped = hyphen || contains(candidate, ' ');
    size_t lo = 8, hi = grouped ? 20 : 17;
    if (digits.size() < lo || digits.size() > hi) continue;

    int32_t s = m.whole.start;
    auto near = std::lower_bound(words.begin(), words.end(), s - 3000);
    if (near == words.end() || *near > s + 3000) continue;

    if (grouped && !hyphen) {
      std::vector<UnicodeString> groups;
      int32_t from = 0;
      for (int32_t i = 0; i <= candidate.length(); ++i) {
        if (i == candidate.length() || candidate.charAt(i) == ' ') {
          groups.push_back(candidate.tempSubStringBetween(from, i));
          from = i + 1;
        }
      }
      bool shaped = true;
      for (size_t g = 0; g + 1 < groups.size(); ++g) {
        if (groups[g].length() != 4) shaped = false;
      }
      if (groups.back().length() >= 5) shaped = false;
      if (!shaped) continue;
      bool allYears = std::all_of(groups.begin(), groups.end(),
                                  [&](UnicodeString& g) { return search.anchoredFinds(kYear, g); });
      if (allYears) continue;
    }

    UnicodeString subject = candidate;
    if (search.anchoredFinds(kSkipShapes, subject)) continue;
    if (!grouped && digits.size() == 8 && search.anchoredFinds(kCompactDate, subject)) continue;

    UnicodeString before = text.tempSubStringBetween(std::max(0, s - 24), s);
    if (searchFinds(kPhoneLabel, before) || searchFinds(kDialPrefix, before)) continue;

    C c = (!grouped && digits.size() == 9 && abaValid(digits)) ? C::routing : C::bankAccount;
    out.push_back(makeFinding(c, text, m.whole.start, m.whole.end));
  }
}

// ---- detector 7: the text categories ------------------------------------------------------

struct Wanted {
  bool name = false, address = false, phone = false, email = false;
  bool any() const { return name || address || phone || email; }
};

void lessPrecise(const Search& search, const Wanted& wanted, std::vector<Finding>& out) {
  const UnicodeString& text = search.text;
  if (wanted.email) {
    static const std::string kEmail =
        "(?<![A-Za-z0-9._%+-])[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\\.[A-Za-z0-9-]+)*\\.[A-Za-z]{2,}";
    for (const Match& m : search.at(kEmail, search.shapes.emailStarts)) {
      out.push_back(makeFinding(C::email, text, m.whole.start, m.whole.end));
    }
  }
  if (wanted.phone || wanted.address) {
    struct Result {
      Span span;
      C category;
    };
    std::vector<Result> results;
    if (wanted.phone) {
      static const std::string kDateOrAmount = "^\\d{4}-\\d{2}-\\d{2}$|[.,]\\d{2}$";
      for (const Span& s : sensitive_internal::findPhoneNumbers(text)) {
        UnicodeString found = text.tempSubStringBetween(s.start, s.end);
        size_t digits = digitsOf(found).size();
        if (digits < 7 || digits > 15 || searchFinds(kDateOrAmount, found)) continue;
        results.push_back({s, C::phone});
      }
    }
    if (wanted.address) {
      for (const Span& s : sensitive_internal::findPostalAddresses(text)) {
        results.push_back({s, C::address});
      }
    }
    // One detector's results, in text order.
    std::stable_sort(results.begin(), results.end(),
                     [](const Result& a, const Result& b) { return a.span.start < b.span.start; });
    for (const Result& r : results) {
      out.push_back(makeFinding(r.category, text, r.span.start, r.span.end));
    }
  }
  if (wanted.name) {
    for (const Span& s : sensitive_internal::tagPersonalNames(text)) {
      out.push_back(makeFinding(C::name, text, s.start, s.end));
    }
  }
}

// ---- detection ----------------------------------------------------------------------------

// Keeps, in list order, the findings that share no code unit with one already kept.
std::vector<Finding> resolveOverlaps(std::vector<Finding> all) {
  std::map<int32_t, int32_t> kept;  // start -> end of kept findings
  std::vector<Finding> out;
  for (Finding& f : all) {
    if (f.length <= 0) continue;
    auto next = kept.lower_bound(f.start);
    if (next != kept.end() && next->first < f.end()) continue;
    if (next != kept.begin() && std::prev(next)->second > f.start) continue;
    kept.emplace(f.start, f.end());
    out.push_back(std::move(f));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Finding& a, const Finding& b) { return a.start < b.start; });
  return out;
}

const sensitive_internal::KeywordIndex& keywordIndex() {
  static const sensitive_internal::KeywordIndex index = [] {
    std::vector<const sensitive_internal::KeywordSet*> v{&kJsonKeyWords};
    for (const LabelPattern& p : kLabelPatterns) v.push_back(&p.keywords);
    v.push_back(&kBankingWords);
    return sensitive_internal::KeywordIndex(std::move(v));
  }();
  static_assert(kLabelSets == 1 && kBankingSet == kLabelSets + 11 && kSetCount == kBankingSet + 1);
  return index;
}

std::vector<Finding> detectIn(const Search& search, const SensitiveRules& rules) {
  const UnicodeString& text = search.text;
  std::vector<Finding> all;
  if (search.whole()) {
    columnsPlain(text, all);
  } else {
    columnsFast(text, all);
  }
  flatColumns(text, all);
  jsonKeys(search, all);
  labeled(search, all);
  validated(search, all);
  accountShaped(search, all);
  auto wants = [&](C c) {
    auto it = rules.actions.find(c);
    return it != rules.actions.end() && it->second != SensitiveAction::off;
  };
  Wanted wanted{wants(C::name), wants(C::address), wants(C::phone), wants(C::email)};
  if (wanted.any()) lessPrecise(search, wanted, all);
  return resolveOverlaps(std::move(all));
}

std::map<std::string, int> flagCandidatesIn(const Search& search) {
  const UnicodeString& text = search.text;
  static const std::string kPattern =
      "(?<![\\d.,-])\\d{4}(?:[ -]\\d{4}){2}[ -]\\d{1,7}(?![\\d.,-]*\\d)";
  int count = 0;
  std::vector<int32_t> places;
  if (!search.whole()) places = search.digitRunsOf(4, u" -");
  for (const Match& m : search.at(kPattern, places)) {
    std::string digits = digitsOf(text.tempSubStringBetween(m.whole.start, m.whole.end));
    if (luhn(digits) && !cardValid(digits)) ++count;
  }
  if (count == 0) return {};
  return {{"card_like_number", count}};
}

}  // namespace

std::string headerKey(const std::string& text) {
  return platform::toUtf8(headerKeyOf(platform::toUnicode(text)));
}

std::optional<SensitiveCategory> headerCategory(const std::string& text) {
  return headerCategoryOf(platform::toUnicode(text));
}

std::optional<std::vector<FlatRole>> flatHeader(const std::string& line) {
  return flatHeaderOf(platform::toUnicode(line));
}

std::map<std::string, int> flagCandidates(const std::string& text) {
  return sensitive_internal::flagCandidatesOn(text, SearchPath::prefiltered);
}

std::vector<Finding> detect(const std::string& text, const SensitiveRules& rules) {
  return sensitive_internal::detectOn(text, rules, SearchPath::prefiltered);
}

std::string redact(const std::string& text, const SensitiveRules& rules, PlaceholderMap& map,
                   const std::optional<std::vector<Finding>>& detected) {
  return sensitive_internal::redactOn(text, rules, map, SearchPath::prefiltered, detected);
}

std::vector<Finding> detectCell(const std::string& text, const std::string& header,
                                const SensitiveRules& rules) {
  auto flatten = [](UnicodeString s) {
    for (int32_t i = 0; i < s.length(); ++i) {
      char16_t c = s.charAt(i);
      if (c == '|' || c == '\t' || c == '\n' || c == '\r') s.setCharAt(i, u' ');
    }
    return s;
  };
  UnicodeString cell = flatten(platform::toUnicode(text));
  UnicodeString head = flatten(platform::toUnicode(header));
  UnicodeString table = head;
  table.append(UnicodeString(u"\t_\n"));
  int32_t o = table.length();
  table.append(cell);
  table.append(UnicodeString(u"\t_"));

  SensitiveRules withoutNames = rules;
  withoutNames.actions[C::name] = SensitiveAction::off;
  std::vector<Finding> found;
  for (Finding& f : detectIn(Search(table, SearchPath::prefiltered), withoutNames)) {
    if (f.start >= o && f.end() <= o + cell.length()) {
      f.start -= o;
      found.push_back(std::move(f));
    }
  }
  if (rules.actionFor(C::name) == SensitiveAction::redact) {
    // The layer is stateless, so unlike a shared platform tagger it needs no lock.
    constexpr int32_t kPrefix = 20;
    UnicodeString sentence(u"This was written by ");
    sentence.append(cell);
    sentence.append(static_cast<char16_t>('.'));
    for (const Span& s : sensitive_internal::tagPersonalNames(sentence)) {
      if (s.start < kPrefix || s.end > kPrefix + cell.length()) continue;
      int32_t start = s.start - kPrefix, end = s.end - kPrefix;
      bool clash = std::any_of(found.begin(), found.end(), [&](const Finding& f) {
        return start < f.end() && f.start < end;
      });
      if (!clash) found.push_back(makeFinding(C::name, cell, start, end));
    }
  }
  std::vector<Finding> out;
  for (Finding& f : found) {
    if (rules.actionFor(f.category) == SensitiveAction::redact) out.push_back(std::move(f));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Finding& a, const Finding& b) { return a.start < b.start; });
  return out;
}

std::optional<int> redactTestMain(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return std::nullopt;
  std::string bytes;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!platform::isValidUtf8(bytes)) return std::nullopt;
  PlaceholderMap map;
  std::string redacted;
  try {
    redacted = redact(bytes, SensitiveRules::defaults(), map);
  } catch (const CheckTimedOut& e) {
    std::fprintf(stderr, "zelk redact: %s\n", e.what());
    return 1;
  }
  size_t written = 0;
  while (written < redacted.size()) {
    ssize_t n = ::write(STDOUT_FILENO, redacted.data() + written, redacted.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace zelk::SensitiveData

namespace zelk::sensitive_internal {

namespace {

// The text as UTF-16. The prefiltered path converts it without ICU's general converter and
// reports whether it was well-formed, so that redaction can splice the UTF-8 bytes directly.
bool toUtf16(const std::string& text, SearchPath path, icu::UnicodeString& out) {
  if (path == SearchPath::wholeText) {
    out = platform::toUnicode(text);
    return false;
  }
  return decodeUtf8(text, out);
}

}  // namespace

std::vector<SensitiveData::Finding> detectOn(const std::string& text, const SensitiveRules& rules,
                                             SearchPath path) {
  icu::UnicodeString u;
  toUtf16(text, path, u);
  return SensitiveData::detectIn(SensitiveData::Search(u, path), rules);
}

std::optional<SensitiveCategory> headerCategoryOn(const std::string& text, SearchPath path) {
  return SensitiveData::headerCategoryOf(platform::toUnicode(text), path);
}

std::map<std::string, int> flagCandidatesOn(const std::string& text, SearchPath path) {
  icu::UnicodeString u;
  toUtf16(text, path, u);
  return SensitiveData::flagCandidatesIn(SensitiveData::Search(u, path));
}

std::string redactOn(const std::string& text, const SensitiveRules& rules, PlaceholderMap& map,
                     SearchPath path,
                     const std::optional<std::vector<SensitiveData::Finding>>& detected) {
  using SensitiveData::Finding;
  icu::UnicodeString u;
  bool wellFormed = toUtf16(text, path, u);
  SensitiveData::Search search(u, path);
  std::vector<Finding> findings = detected ? *detected : SensitiveData::detectIn(search, rules);
  std::map<std::string, int> candidates = SensitiveData::flagCandidatesIn(search);

  std::vector<Finding> replace;
  for (Finding& f : findings) {
    SensitiveAction action = rules.actionFor(f.category);
    if (action == SensitiveAction::redact) {
      replace.push_back(std::move(f));
    } else if (action == SensitiveAction::flag) {
      map.flagged()[std::string(toString(f.category))] += 1;
    }
  }
  for (const auto& [key, count] : candidates) map.flagged()[key] += count;
  if (replace.empty()) return text;

  std::stable_sort(replace.begin(), replace.end(),
                   [](const Finding& a, const Finding& b) { return a.start < b.start; });
  // Findings handed in by a caller may be stale: ranges outside the text or overlapping an
  // earlier one are not replaced, so that the result is never garbled.
  struct Piece {
    int32_t start, end;  // UTF-16
    std::string placeholder;
  };
  std::vector<Piece> pieces;
  int32_t cursor = 0;
  for (const Finding& f : replace) {
    if (f.start < cursor || f.length <= 0 || f.end() > u.length()) continue;
    pieces.push_back({f.start, f.end(), map.placeholder(f.category, f.value, rules.style)});
    cursor = f.end();
  }

  if (wellFormed) {
    // Well-formed UTF-8 round-trips unchanged, so the kept parts are the input's own bytes.
    std::vector<int32_t> units;
    units.reserve(pieces.size() * 2);
    for (const Piece& p : pieces) {
      units.push_back(p.start);
      units.push_back(p.end);
    }
    if (std::optional<std::vector<size_t>> bytes = byteOffsets(text, units)) {
      std::string result;
      result.reserve(text.size());
      size_t from = 0;
      for (size_t i = 0; i < pieces.size(); ++i) {
        result.append(text, from, (*bytes)[2 * i] - from);
        result += pieces[i].placeholder;
        from = (*bytes)[2 * i + 1];
      }
      result.append(text, from, std::string::npos);
      return result;
    }
  }
  icu::UnicodeString result;
  cursor = 0;
  for (const Piece& p : pieces) {
    result.append(u, cursor, p.start - cursor);
    result.append(platform::toUnicode(p.placeholder));
    cursor = p.end;
  }
  result.append(u, cursor, u.length() - cursor);
  return platform::toUtf8(result);
}

}  // namespace zelk::sensitive_internal
