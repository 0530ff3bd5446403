#include "sensitive/internal/less_precise.h"

#include <phonenumbers/logger.h>
#include <phonenumbers/phonenumbermatch.h>
#include <phonenumbers/phonenumbermatcher.h>
#include <phonenumbers/phonenumberutil.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>

#include <climits>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/unicode.h"
#include "sensitive/internal/first_names.h"

namespace zelk::sensitive_internal {
namespace {

namespace pn = i18n::phonenumbers;

const pn::PhoneNumberUtil& phoneUtil() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The library's default logger writes to standard output, which belongs to the protocol.
    pn::PhoneNumberUtil::GetInstance()->SetLogger(new pn::NullLogger());
  });
  return *pn::PhoneNumberUtil::GetInstance();
}

// Walks a UTF-8 text once, turning ascending byte offsets into UTF-16 offsets.
class Utf16Offsets {
 public:
  explicit Utf16Offsets(const std::string& utf8) : text_(utf8) {}
  int32_t at(size_t byte) {
    while (byte_ < byte && byte_ < text_.size()) {
      unsigned char lead = static_cast<unsigned char>(text_[byte_]);
      size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      units_ += width == 4 ? 2 : 1;
      byte_ += width;
    }
    return units_;
  }

 private:
  const std::string& text_;
  size_t byte_ = 0;
  int32_t units_ = 0;
};

struct NameLists {
  std::unordered_set<std::u16string> first;
  // Names that are also ordinary words or months: only a name with a surname after them.
  std::unordered_set<std::u16string> ambiguous;
  // Words that make a capitalised run a place or an organisation, not a person.
  std::unordered_set<std::u16string> notPeople;
};

std::u16string lowerWord(const icu::UnicodeString& word) {
  icu::UnicodeString lower = word;
  lower.toLower(icu::Locale::getRoot());
  return std::u16string(lower.getBuffer(), lower.getBuffer() + lower.length());
}

const NameLists& nameLists() {
  static const NameLists lists = [] {
    NameLists l;
    std::string_view data = firstNamesData();
    size_t pos = 0;
    while (pos < data.size()) {
      size_t end = data.find('\n', pos);
      if (end == std::string_view::npos) end = data.size();
      std::string_view line = data.substr(pos, end - pos);
      pos = end + 1;
      if (line.empty() || line[0] == '#') continue;
      l.first.insert(lowerWord(platform::toUnicode(line)));
    }
    for (const char* w :
         {"may", "june", "april", "august", "will", "mark", "grace", "hope", "faith", "joy",
          "rose", "ray", "bill", "frank", "dean", "jack", "sue", "pat", "rich", "chase", "bob",
          "ben", "max", "dawn", "summer", "autumn", "ivy", "violet", "hunter", "mason", "carter",
          "cole", "drew", "gene", "jay", "lee", "penny", "sky", "georgia", "virginia", "victoria",
          "charlotte", "austin", "madison", "logan", "louis", "paris", "jordan", "florence"}) {
      l.ambiguous.insert(lowerWord(platform::toUnicode(w)));
    }
    for (const char* w :
         {"street", "st", "avenue", "ave", "road", "rd", "boulevard", "lane", "drive", "court",
          "place", "way", "county", "city", "state", "university", "college", "school", "bank",
          "hospital", "inc", "llc", "ltd", "corp", "corporation", "company", "co", "group",
          "foundation", "institute", "park", "river", "lake", "mountain", "airport", "station",
          "center", "centre", "hall", "church", "museum", "library", "the", "and", "of"}) {
      l.notPeople.insert(lowerWord(platform::toUnicode(w)));
    }
    return l;
  }();
  return lists;
}

bool isWordChar(UChar32 c) { return u_isalpha(c) || c == '\'' || c == 0x2019 || c == '-'; }

struct Word {
  int32_t start;
  int32_t end;
};

// Letters with inner apostrophes and hyphens (O'Brien, Jean-Luc).
std::vector<Word> wordsOf(const icu::UnicodeString& text) {
  std::vector<Word> words;
  int32_t i = 0, n = text.length();
  while (i < n) {
    UChar32 c = text.char32At(i);
    if (!u_isalpha(c)) {
      i += U16_LENGTH(c);
      continue;
    }
    int32_t start = i;
    int32_t lastLetterEnd = i;
    while (i < n) {
      UChar32 d = text.char32At(i);
      if (!isWordChar(d)) break;
      i += U16_LENGTH(d);
      if (u_isalpha(d)) lastLetterEnd = i;
    }
    words.push_back({start, lastLetterEnd});
    i = std::max(i, lastLetterEnd);
  }
  return words;
}

// Upper-case first letter and at least one lower-case letter after it.
bool capitalised(const icu::UnicodeString& text, const Word& w) {
  UChar32 first = text.char32At(w.start);
  if (!u_isupper(first) && !u_istitle(first)) return false;
  for (int32_t i = w.start + U16_LENGTH(first); i < w.end;) {
    UChar32 c = text.char32At(i);
    if (u_islower(c)) return true;
    i += U16_LENGTH(c);
  }
  return false;
}

bool initial(const icu::UnicodeString& text, const Word& w) {
  return w.end - w.start == 1 && u_isupper(text.charAt(w.start)) && w.end < text.length() &&
         text.charAt(w.end) == '.';
}

// Only one space (or a space after an initial's full stop) between the words of one name.
bool joined(const icu::UnicodeString& text, const Word& a, const Word& b) {
  int32_t gap = b.start - a.end;
  if (gap == 1) return text.charAt(a.end) == ' ';
  return gap == 2 && text.charAt(a.end) == '.' && text.charAt(a.end + 1) == ' ';
}

bool isTitle(const std::u16string& lower) {
  static const std::unordered_set<std::u16string> kTitles{u"mr", u"mrs", u"ms", u"miss",
                                                          u"dr", u"prof", u"mx", u"sir"};
  return kTitles.count(lower) > 0;
}

}  // namespace

std::vector<Span> findPhoneNumbers(const icu::UnicodeString& text) {
  // The matcher slows down more than linearly on long digit-dense texts, so it reads windows
  // of a few kilobytes, cut at line feeds or after a letter and a space (never inside a number).
  constexpr int32_t kWindow = 512;
  auto safeCut = [&](int32_t c) {
    char16_t before = text.charAt(c - 1);
    return before == '\n' || (text.charAt(c) == ' ' && u_isalpha(before));
  };
  std::vector<Span> spans;
  const pn::PhoneNumberUtil& util = phoneUtil();
  for (const Span& window : windows(text, kWindow, safeCut)) {
    icu::UnicodeString piece(text, window.start, window.end - window.start);
    // A run of more digits than any telephone number has is blanked (same length, so offsets
    // hold): the matcher would otherwise try each of its sub-runs.
    for (int32_t i = 0; i < piece.length();) {
      int32_t j = i;
      while (j < piece.length() && piece.charAt(j) >= '0' && piece.charAt(j) <= '9') ++j;
      if (j - i >= 32) {
        for (int32_t k = i; k < j; ++k) piece.setCharAt(k, u' ');
      }
      i = j == i ? i + 1 : j;
    }
    std::string utf8 = platform::toUtf8(piece);
    pn::PhoneNumberMatcher matcher(util, utf8, "US", pn::PhoneNumberMatcher::VALID, INT_MAX);
    Utf16Offsets offsets(utf8);
    pn::PhoneNumberMatch match;
    while (matcher.HasNext()) {
      if (!matcher.Next(&match)) break;
      size_t startByte = static_cast<size_t>(match.start());
      Span s;
      s.start = window.start + offsets.at(startByte);
      s.end = window.start + offsets.at(startByte + match.raw_string().size());
      if (s.end > s.start) spans.push_back(s);
    }
  }
  return spans;
}

std::vector<Span> findPostalAddresses(const icu::UnicodeString& text) {
  static const std::string kStreet =
      "\\b\\d{1,6}[A-Za-z]?(?:[ \\t]+(?:[NSEW]\\.?|North|South|East|West))?"
      "(?:[ \\t]+(?:[A-Z][A-Za-z'.\\-]{0,30}|\\d{1,3}(?:st|nd|rd|th))){1,4}?"
      "[ \\t]+(?:Street|St|Avenue|Ave|Road|Rd|Boulevard|Blvd|Lane|Ln|Drive|Dr|Court|Ct|Place|Pl|"
      "Way|Terrace|Ter|Parkway|Pkwy|Circle|Cir|Highway|Hwy|Square|Sq|Trail|Trl|Close|Crescent)"
      "\\b\\.?(?:[ \\t]+(?:NE|NW|SE|SW|N|S|E|W)\\b)?"
      "(?:,?[ \\t]*(?:Apt|Apartment|Suite|Ste|Unit|Floor|Fl|#)\\.?[ \\t]*#?[A-Za-z0-9\\-]{1,6})?"
      "(?:,?(?:[ \\t]+|[ \\t]*\\n[ \\t]*)(?:[A-Z][A-Za-z.'\\-]{0,30}[ \\t]?){1,4},[ \\t]*[A-Z]{2}"
      "(?:[ \\t]+\\d{5}(?:-\\d{4})?)?)?"
      "|\\bP\\.?[ \\t]?O\\.?[ \\t]+Box[ \\t]+\\d{1,8}\\b";
  std::vector<Span> spans;
  for (const Match& m : matches(kStreet, text)) spans.push_back(m.whole);
  return spans;
}

std::vector<Span> tagPersonalNames(const icu::UnicodeString& text) {
  const NameLists& lists = nameLists();
  std::vector<Word> words = wordsOf(text);
  std::vector<Span> spans;
  size_t i = 0;
  while (i < words.size()) {
    const Word& w = words[i];
    std::u16string lower = lowerWord(text.tempSubStringBetween(w.start, w.end));
    bool title = isTitle(lower) && w.end < text.length() &&
                 (text.charAt(w.end) == '.' || text.charAt(w.end) == ' ') &&
                 capitalised(text, w);
    bool firstName = capitalised(text, w) && lists.first.count(lower) > 0;
    if (!title && !firstName) {
      ++i;
      continue;
    }
    // The words that follow in the same name.
    size_t j = i + 1;
    while (j < words.size() && j - i <= 3 && joined(text, words[j - 1], words[j]) &&
           (capitalised(text, words[j]) || initial(text, words[j]))) {
      ++j;
    }
    bool place = false;
    for (size_t k = i + 1; k < j; ++k) {
      std::u16string l = lowerWord(text.tempSubStringBetween(words[k].start, words[k].end));
      if (lists.notPeople.count(l)) place = true;
    }
    size_t from = title ? i + 1 : i;
    bool enough = title ? j > i + 1 : (j > i + 1 || lists.ambiguous.count(lower) == 0);
    if (!place && enough && from < j) {
      Span s;
      s.start = words[from].start;
      s.end = words[j - 1].end;
      if (initial(text, words[j - 1])) s.end += 1;
      spans.push_back(s);
      i = j;
    } else {
      ++i;
    }
  }
  return spans;
}

}  // namespace zelk::sensitive_internal
