#include "retrieval/version_groups.h"

#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <map>

#include "platform/paths.h"
#include "platform/regex_cache.h"
#include "platform/unicode.h"

namespace zelk::VersionGroups {
namespace {

constexpr const char* kMarkers =
    "(?i)(?:[\\s_\\-\\.]*(?:v|ver|version|rev|revision)[\\s_\\-\\.]*\\d+(?:\\.\\d+)*)|"
    "(?:[\\s_\\-]*\\((?:\\d+)\\))|"
    "(?:[\\s_\\-]+(?:draft|final|revised|updated|latest|clean|signed|copy)\\b)|"
    "(?:[\\s_\\-]*[\\(\\[](?:draft|final|revised|updated|latest|clean|signed|copy)[\\)\\]])";

// The last path component and its extension split.
std::pair<std::string, std::string> nameAndExtension(const std::string& path) {
  std::string last = platform::lastPathComponent(path);
  size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0) return {last, ""};
  return {last.substr(0, dot), last.substr(dot + 1)};
}

bool isTrimmed(UChar32 c) {
  return u_isUWhiteSpace(c) || c == '_' || c == '-' || c == '.' || c == 0x2028 || c == 0x2029 ||
         c == 0x85;
}

std::string trim(const std::string& s) {
  int32_t n = int32_t(s.size());
  int32_t start = 0;
  while (start < n) {
    int32_t at = start;
    UChar32 c;
    U8_NEXT(s.data(), at, n, c);
    if (c < 0 || !isTrimmed(c)) break;
    start = at;
  }
  int32_t end = n;
  while (end > start) {
    int32_t at = end;
    UChar32 c;
    U8_PREV(s.data(), 0, at, c);
    if (c < 0 || !isTrimmed(c)) break;
    end = at;
  }
  return s.substr(size_t(start), size_t(end - start));
}

bool contains(const std::string& text, const char* pattern) {
  icu::UnicodeString u = platform::toUnicode(text);
  auto m = platform::RegexCache::shared().matcher(pattern, u);
  UErrorCode status = U_ZERO_ERROR;
  return m && m->find(status) && U_SUCCESS(status);
}

std::optional<double> modificationDate(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
}

}  // namespace

const char* markers() { return kMarkers; }

bool isDocumentType(const std::string& e) {
  static const char* kTypes[] = {"docx", "doc", "pdf", "pages", "rtf", "odt", "txt", "md",
                                 "markdown"};
  for (const char* t : kTypes) {
    if (e == t) return true;
  }
  return false;
}

Stem stem(const std::string& path) {
  Stem out;
  std::string name = nameAndExtension(path).first;
  icu::UnicodeString u = platform::toUnicode(name);
  auto m = platform::RegexCache::shared().matcher(kMarkers, u);
  icu::UnicodeString rest;
  int32_t copied = 0;
  bool matched = false;
  UErrorCode status = U_ZERO_ERROR;
  while (m && m->find(status) && U_SUCCESS(status)) {
    matched = true;
    int32_t from = m->start(status), to = m->end(status);
    rest.append(u, copied, from - copied);
    copied = to;
    std::string text;
    m->group(status).toUTF8String(text);
    std::string lower = platform::lowercased(text);
    if (lower.find('(') == std::string::npos) {
      icu::UnicodeString lu = platform::toUnicode(lower);
      auto number = platform::RegexCache::shared().matcher("\\d+(?:\\.\\d+)*", lu);
      UErrorCode s2 = U_ZERO_ERROR;
      if (number && number->find(s2) && U_SUCCESS(s2)) {
        std::string digits;
        number->group(s2).toUTF8String(digits);
        std::vector<int64_t> version;
        size_t from2 = 0;
        while (from2 <= digits.size()) {
          size_t dot = digits.find('.', from2);
          std::string piece = digits.substr(from2, dot == std::string::npos ? dot : dot - from2);
          // \d also matches other scripts' digits; only pieces that read as integers count.
          bool ascii = !piece.empty() && piece.size() <= 18 &&
                       std::all_of(piece.begin(), piece.end(),
                                   [](char c) { return c >= '0' && c <= '9'; });
          if (ascii) version.push_back(std::stoll(piece));
          if (dot == std::string::npos) break;
          from2 = dot + 1;
        }
        out.version = std::move(version);
      }
    }
    if (lower.find("final") != std::string::npos || lower.find("signed") != std::string::npos) {
      out.finality = 2;
    } else if (lower.find("revised") != std::string::npos ||
               lower.find("updated") != std::string::npos ||
               lower.find("latest") != std::string::npos ||
               lower.find("clean") != std::string::npos) {
      out.finality = std::max(out.finality, 1);
    }
  }
  if (!matched) {
    out.stem = trim(platform::lowercased(name));
    return out;
  }
  rest.append(u, copied, u.length() - copied);
  out.stem = trim(platform::lowercased(platform::toUtf8(rest)));
  return out;
}

std::optional<std::string> groupKey(const std::string& path) {
  Stem s = stem(path);
  std::vector<std::string> words;
  std::string word;
  int32_t n = int32_t(s.stem.size()), i = 0;
  while (i < n) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s.stem.data(), i, n, c);
    bool keep = c >= 0 && (u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
                           u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE ||
                           u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND));
    if (keep) {
      word.append(s.stem, size_t(start), size_t(i - start));
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  if (words.empty()) return std::nullopt;
  std::sort(words.begin(), words.end());
  auto [name, extension] = nameAndExtension(path);
  std::string ext = platform::lowercased(extension);
  bool versionTyped = s.version || s.finality >= 1 ||
                      contains(platform::lowercased(name), "\\bdraft\\b");
  std::string key;
  for (size_t w = 0; w < words.size(); ++w) {
    if (w) key += ' ';
    key += words[w];
  }
  key += '|';
  key += versionTyped && isDocumentType(ext) ? "document" : ext;
  return key;
}

Analysis analyze(const std::vector<std::string>& paths) {
  std::vector<std::string> keys;
  std::map<std::string, std::vector<size_t>> groups;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (auto key = groupKey(paths[i])) {
      auto& g = groups[*key];
      if (g.empty()) keys.push_back(*key);
      g.push_back(i);
    }
  }
  Analysis out;
  for (const std::string& key : keys) {
    const std::vector<size_t>& group = groups[key];
    if (group.size() < 2) continue;
    std::vector<Analysis::Member> members;
    size_t marked = 0;
    for (size_t i : group) {
      Analysis::Member m{i, stem(paths[i])};
      std::string lowerName = platform::lowercased(nameAndExtension(paths[i]).first);
      if (m.stem.version || m.stem.finality >= 1 || m.stem.stem != lowerName) ++marked;
      members.push_back(std::move(m));
    }
    if (marked + 1 < members.size()) continue;
    out.groups.push_back(std::move(members));
  }
  return out;
}

std::vector<Pair> superseded(const std::vector<std::string>& paths, const DateReader& modified) {
  return superseded(analyze(paths), paths, modified);
}

std::vector<Pair> superseded(const Analysis& analysis, const std::vector<std::string>& paths,
                             const DateReader& modified) {
  std::vector<Pair> out;
  for (const auto& group : analysis.groups) {
    struct Member {
      const Analysis::Member* m;
      std::optional<std::optional<double>> date;  // read when first needed
    };
    std::vector<Member> members;
    for (const auto& m : group) {
      if (m.index >= paths.size()) return {};
      members.push_back({&m, std::nullopt});
    }
    auto dateOf = [&](Member& m) {
      const std::string& path = paths[m.m->index];
      if (!m.date) m.date = modified ? modified(path) : modificationDate(path);
      return m.date->value_or(-1e300);
    };
    auto before = [&](Member& a, Member& b) {
      const Stem& x = a.m->stem;
      const Stem& y = b.m->stem;
      if (x.finality != y.finality) return x.finality < y.finality;
      if (x.version && y.version && *x.version != *y.version) return *x.version < *y.version;
      return dateOf(a) < dateOf(b);
    };
    // A stable insertion sort: the order mixes versions and dates, so it need not be a strict
    // weak order, and std::sort's unguarded loops must not see it.
    for (size_t i = 1; i < members.size(); ++i) {
      for (size_t j = i; j > 0 && before(members[j], members[j - 1]); --j) {
        std::swap(members[j], members[j - 1]);
      }
    }
    const Stem& newest = members.back().m->stem;
    const std::string& newestPath = paths[members.back().m->index];
    for (size_t i = 0; i + 1 < members.size(); ++i) {
      const Stem& s = members[i].m->stem;
      bool confident = s.version && newest.version && *s.version != *newest.version
                           ? true
                           : s.finality < newest.finality;
      out.push_back({paths[members[i].m->index], newestPath, confident});
    }
  }
  return out;
}

}  // namespace zelk::VersionGroups
