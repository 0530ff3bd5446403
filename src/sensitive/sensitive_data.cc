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
#include "sensitive/internal/less_precise.h"
#include "sensitive/internal/pattern_search.h"
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
using sensitive_internal::searchFinds;
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
  UnicodeString collapsed;
  bool inRun = false;
  for (int32_t i = 0; i < key.length(); ++i) {
    char16_t c = key.charAt(i);
    if (c == '_' || c == '.' || c == '-') {
      if (!inRun) collapsed.append(static_cast<char16_t>(' '));
      inRun = true;
      continue;
    }
    inRun = false;
    collapsed.append(c);
  }
  UnicodeString spaced;
  for (int32_t i = 0; i < collapsed.length(); ++i) {
    char16_t c = collapsed.charAt(i);
    if (c == ' ' && i > 0 && collapsed.charAt(i - 1) == ' ') continue;
    spaced.append(c);
  }
  return trimWhite(spaced);
}

std::optional<C> headerCategoryOf(const UnicodeString& text) {
  UnicodeString key = headerKeyOf(text);
  if (key.isEmpty() || key.length() > 64) return std::nullopt;
  if (!searchFinds(anyHeaderPattern(), key)) return std::nullopt;
  for (const auto& [pattern, category] : kHeaderPatterns) {
    if (searchFinds(pattern, key)) return category;
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

void columns(const UnicodeString& text, std::vector<Finding>& out) {
  struct Header {
    char16_t sep;
    std::map<size_t, C> categories;
  };
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
        auto c = headerCategoryOf(line.tempSubStringBetween(cells[i].start, cells[i].end));
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
    for (const auto& [position, category] : active->categories) {
      if (position >= cells.size()) continue;
      UnicodeString cell = line.tempSubStringBetween(cells[position].start, cells[position].end);
      UnicodeString value = trimChars(cell, UnicodeString(u" \"'"));
      if (value.isEmpty() || !plausible(platform::toUtf8(value), category)) continue;
      int32_t start = lineStart + cells[position].start + cell.indexOf(value);
      int32_t end = start + value.length();
      if (end > text.length()) continue;
      out.push_back(makeFinding(category, text, start, end));
    }
  });
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
  UnicodeString trimmed = trimWhite(line);
  if (trimmed.length() > 160 || trimmed.isEmpty()) return std::nullopt;
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
    if (trimWhite(line).isEmpty()) {
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

void jsonKeys(const UnicodeString& text, const sensitive_internal::FoldedText& folded,
              std::vector<Finding>& out) {
  static const std::vector<std::u16string> kKeys{
      u"\"ssn", u"\"social_security", u"\"tax", u"\"tin", u"\"itin", u"\"ein", u"\"passport",
      u"\"dob", u"\"date_of_birth", u"\"birth", u"\"account_", u"\"routing", u"\"iban",
      u"\"card_number", u"\"driver"};
  static const std::string kPattern =
      "\"(?i:ssn|social_security(?:_number)?|tax_?id|tin|itin|ein|passport(?:_number|_no)?|dob|"
      "date_of_birth|birth_?date|account_(?:number|no)|routing(?:_number)?|iban|card_number|"
      "drivers?_licen[cs]e(?:_number)?)\"\\s*:\\s*\"?([^\",}\\]\\n]+?)\"?\\s*(?=[,}\\]\\n])";
  for (const Match& m :
       sensitive_internal::matchesAtKeywords(kPattern, text, folded, kKeys, 0, false)) {
    Span g = m.group(1);
    if (!g.present()) continue;
    int32_t closing = text.indexOf(static_cast<char16_t>('"'), m.whole.start + 1);
    if (closing < 0 || closing > m.whole.end) continue;
    auto c = headerCategoryOf(text.tempSubStringBetween(m.whole.start + 1, closing));
    if (!c) continue;
    std::string value = utf8Of(text, g.start, g.end);
    if (plausible(value, *c)) out.push_back(Finding{*c, g.start, g.length(), value});
  }
}

// ---- detector 4: labels -------------------------------------------------------------------

enum class LabelCheck { ssn, card, always, aba, tfn, bankDigits, sin, ird };

struct LabelPattern {
  const char* pattern;
  C category;
  LabelCheck check;
  std::vector<std::u16string> keywords;  // every match begins with one of these
};

const std::array<LabelPattern, 11> kLabelPatterns{{
    {"\\b(?i:ssn|social security|itin|tin|taxpayer id(?:entification)?)\\s*(?i:no\\.?|number|"
     "num\\.?|#)?\\s*[:#.]?\\s*(\\d{3}[- ]?\\d{2}[- ]?\\d{4})(?![\\d-])",
     C::ssn, LabelCheck::ssn,
     {u"ssn", u"social security", u"itin", u"tin", u"taxpayer id"}},
    {"\\b(?i:card|credit card|cc|visa|mastercard|amex)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?"
     "\\s*(\\d{13,19})(?!\\d)",
     C::card, LabelCheck::card,
     {u"card", u"credit card", u"cc", u"visa", u"mastercard", u"amex"}},
    {"\\b(?i:ein|employer id(?:entification)?)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*("
     "\\d{9})(?!\\d)",
     C::ein, LabelCheck::always,
     {u"ein", u"employer id"}},
    {"\\b(?i:routing|aba|rtn)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*(\\d{9})(?!\\d)",
     C::routing, LabelCheck::aba,
     {u"routing", u"aba", u"rtn"}},
    {"\\b(?i:tfn|tax file)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*(\\d{3} ?\\d{3} ?\\d{2,3}"
     ")(?!\\d)",
     C::auTFN, LabelCheck::tfn,
     {u"tfn", u"tax file"}},
    {"\\b(?i:passport)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*((?=[A-Z0-9]*\\d)[A-Z0-9]{6,"
     "9})(?![A-Z0-9])",
     C::passport, LabelCheck::always,
     {u"passport"}},
    {"\\b(?i:driver'?s?\\s+licen[cs]e)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*((?=[A-Z0-9-"
     "]*\\d)[A-Z0-9][A-Z0-9-]{4,14})(?![A-Z0-9])",
     C::driversLicense, LabelCheck::always,
     {u"driver"}},
    {"\\b(?i:(?:bank )?account (?:no\\.?|number|num\\.?|#)|bank account|acct\\.? ?(?:no\\.?|"
     "number|#)|a/c no\\.?)\\s*[:#.]?\\s*(\\d[\\d -]{4,20}\\d)(?!\\d)",
     C::bankAccount, LabelCheck::bankDigits,
     {u"bank", u"account", u"acct", u"a/c"}},
    {"\\b(?i:sin|social insurance)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*(\\d{3}[- ]?\\d{3}"
     "[- ]?\\d{3})(?![\\d-])",
     C::canadaSIN, LabelCheck::sin,
     {u"sin", u"social insurance"}},
    {"\\b(?i:ird)\\s*(?i:no\\.?|number|num\\.?|#)?\\s*[:#.]?\\s*(\\d{2,3}[- ]?\\d{3}[- ]?\\d{3})(?!"
     "[\\d-])",
     C::nzIRD, LabelCheck::ird,
     {u"ird"}},
    {"\\b(?i:date of birth|d\\.o\\.b\\.?|dob|birth ?date|born(?: on)?)\\s*[:#.]?\\s*(\\d{1,2}[/.-]"
     "\\d{1,2}[/.-]\\d{2,4}|\\d{4}-\\d{2}-\\d{2}|\\d{1,2} [A-Z][a-z]{2,8},? \\d{4}|[A-Z][a-z]{2,8}"
     " \\d{1,2},? \\d{4})",
     C::dateOfBirth, LabelCheck::always,
     {u"date of birth", u"d.o.b", u"dob", u"birth", u"born"}},
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

void labeled(const UnicodeString& text, const sensitive_internal::FoldedText& folded,
             std::vector<Finding>& out) {
  for (const LabelPattern& p : kLabelPatterns) {
    for (const Match& m : sensitive_internal::matchesAtKeywords(p.pattern, text, folded, p.keywords)) {
      Span g = m.group(1);
      if (!g.present()) continue;
      std::string value = utf8Of(text, g.start, g.end);
      if (labelCheckHolds(p.check, value)) out.push_back(Finding{p.category, g.start, g.length(), value});
    }
  }
}

// ---- detector 5: shape and checksum -------------------------------------------------------

void validated(const UnicodeString& text, std::vector<Finding>& out) {
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
  for (const Match& m : matches(kMrz2, text)) {
    std::string v = utf8Of(text, m.whole.start, m.whole.end);
    if (v.size() == 44 && mrzLine2Valid(v)) add(C::passportMRZ, m);
  }
  for (const Match& m : matches(kMrz1, text)) {
    if (text.tempSubStringBetween(m.whole.start, m.whole.end).indexOf(UnicodeString(u"<<")) >= 0) {
      add(C::passportMRZ, m);
    }
  }
  for (const Match& m : sensitive_internal::matchesAtDigitRuns(kSsn, text)) {
    if (ssnValid(digitsOf(text.tempSubStringBetween(m.whole.start, m.whole.end)))) add(C::ssn, m);
  }
  for (const Match& m : sensitive_internal::matchesAtDigitRuns(kEin, text)) {
    if (einPrefixValid(digitsOf(text.tempSubStringBetween(m.whole.start, m.whole.end)))) {
      add(C::ein, m);
    }
  }
  for (const Match& m : sensitive_internal::matchesAtDigitRuns(kCard, text)) {
    if (cardValid(digitsOf(text.tempSubStringBetween(m.whole.start, m.whole.end)))) add(C::card, m);
  }
  for (const Match& m : matches(kIban, text)) {
    if (ibanValid(utf8Of(text, m.whole.start, m.whole.end))) add(C::iban, m);
  }
  for (const Match& m : matches(kNino, text)) add(C::ukNINO, m);
}

// ---- detector 6: long numbers near banking words ------------------------------------------

// Long enough for any account number with room to spare; a run of digits longer than this
// without a break is cut, and its pieces are judged as numbers of their own (all far too long).
constexpr int32_t kCandidateWindow = 4096;

void accountShaped(const UnicodeString& text, const sensitive_internal::FoldedText& folded,
                   std::vector<Finding>& out) {
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
  static const std::vector<std::u16string> kBankingKeys{u"account", u"acct", u"routing", u"bank",
                                                       u"iban"};
  for (const Match& m :
       sensitive_internal::matchesAtKeywords(kBanking, text, folded, kBankingKeys, kCaseless)) {
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
  for (const Match& m : sensitive_internal::matchesInRegions(
           kCandidate, text, sensitive_internal::windows(text, kCandidateWindow, safeCut))) {
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
                                  [&](UnicodeString& g) { return searchFinds(kYear, g); });
      if (allYears) continue;
    }

    UnicodeString subject = candidate;
    if (searchFinds(kSkipShapes, subject)) continue;
    if (!grouped && digits.size() == 8 && searchFinds(kCompactDate, subject)) continue;

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

void lessPrecise(const UnicodeString& text, const Wanted& wanted, std::vector<Finding>& out) {
  if (wanted.email) {
    static const std::string kEmail =
        "(?<![A-Za-z0-9._%+-])[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\\.[A-Za-z0-9-]+)*\\.[A-Za-z]{2,}";
    for (const Match& m : matches(kEmail, text)) {
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

std::vector<Finding> detectIn(const UnicodeString& text, const SensitiveRules& rules) {
  std::vector<Finding> all;
  columns(text, all);
  flatColumns(text, all);
  sensitive_internal::FoldedText folded = sensitive_internal::foldForKeywords(text);
  jsonKeys(text, folded, all);
  labeled(text, folded, all);
  validated(text, all);
  accountShaped(text, folded, all);
  auto wants = [&](C c) {
    auto it = rules.actions.find(c);
    return it != rules.actions.end() && it->second != SensitiveAction::off;
  };
  Wanted wanted{wants(C::name), wants(C::address), wants(C::phone), wants(C::email)};
  if (wanted.any()) lessPrecise(text, wanted, all);
  return resolveOverlaps(std::move(all));
}

std::map<std::string, int> flagCandidatesIn(const UnicodeString& text) {
  static const std::string kPattern =
      "(?<![\\d.,-])\\d{4}(?:[ -]\\d{4}){2}[ -]\\d{1,7}(?![\\d.,-]*\\d)";
  int count = 0;
  for (const Match& m : sensitive_internal::matchesAtDigitRuns(kPattern, text)) {
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
  return flagCandidatesIn(platform::toUnicode(text));
}

std::vector<Finding> detect(const std::string& text, const SensitiveRules& rules) {
  return detectIn(platform::toUnicode(text), rules);
}

std::string redact(const std::string& text, const SensitiveRules& rules, PlaceholderMap& map,
                   const std::optional<std::vector<Finding>>& detected) {
  UnicodeString u = platform::toUnicode(text);
  std::vector<Finding> findings = detected ? *detected : detectIn(u, rules);
  std::map<std::string, int> candidates = flagCandidatesIn(u);

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
  UnicodeString result;
  int32_t cursor = 0;
  for (const Finding& f : replace) {
    if (f.start < cursor || f.length <= 0 || f.end() > u.length()) continue;
    std::string placeholder = map.placeholder(f.category, f.value, rules.style);
    result.append(u, cursor, f.start - cursor);
    result.append(platform::toUnicode(placeholder));
    cursor = f.end();
  }
  result.append(u, cursor, u.length() - cursor);
  return platform::toUtf8(result);
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
  for (Finding& f : detectIn(table, withoutNames)) {
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
