#include "documents/html_readers.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <system_error>
#include <vector>

#include "documents/document_parser.h"
#include "documents/internal/text_util.h"
#include "protocol/mcp_tool_error.h"

// Each step is one left-to-right pass with the meaning of the regular expression it stands for
// ("<tag[^>]*>[\s\S]*?</tag>", "</?(tag)(\s[^>]*)?>", "<[^>]+>"), written out by hand so that a
// page of unclosed tags costs linear time instead of a rescan per tag.
namespace zelk::documents {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool matchesAt(std::string_view text, size_t at, std::string_view word) {
  if (at + word.size() > text.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (lower(text[at + i]) != word[i]) return false;
  }
  return true;
}

// Case-insensitive search for a lower-case ASCII word.
size_t findNoCase(std::string_view text, std::string_view word, size_t from) {
  if (word.empty()) return from;
  while (from + word.size() <= text.size()) {
    size_t candidate = text.find_first_of(std::string{word[0], static_cast<char>(word[0] - 32)}, from);
    if (candidate == std::string_view::npos || candidate + word.size() > text.size()) break;
    if (matchesAt(text, candidate, word)) return candidate;
    from = candidate + 1;
  }
  return std::string_view::npos;
}

// ICU's \s: tab, LF, FF, CR and the separators (Z).
bool isRegexSpaceAt(std::string_view text, size_t at) {
  int32_t i = static_cast<int32_t>(at);
  UChar32 c;
  U8_NEXT(text.data(), i, static_cast<int32_t>(text.size()), c);
  if (c < 0) return false;
  if (c == '\t' || c == '\n' || c == '\f' || c == '\r') return true;
  int8_t type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::string removeElements(std::string_view text, std::string_view tag) {
  std::string open = "<" + std::string(tag);
  std::string close = "</" + std::string(tag) + ">";
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    size_t start = findNoCase(text, open, pos);
    if (start == std::string_view::npos) break;
    size_t gt = text.find('>', start + open.size());
    size_t end = gt == std::string_view::npos ? gt : findNoCase(text, close, gt + 1);
    // Without a '>' or a closing tag after this point no later element can match either.
    if (end == std::string_view::npos) break;
    out.append(text.substr(pos, start - pos));
    out.push_back(' ');
    pos = end + close.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string breakTags(std::string_view text, std::string_view tag) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0, scan = 0;
  // The next '>' at or after the last asked position; positions asked only grow.
  size_t nextGt = 0;
  bool gtKnown = false;
  auto findGt = [&](size_t from) {
    if (!gtKnown || (nextGt != std::string_view::npos && nextGt < from)) {
      nextGt = text.find('>', from);
      gtKnown = true;
    }
    return nextGt;
  };
  for (;;) {
    size_t lt = text.find('<', scan);
    if (lt == std::string_view::npos) break;
    size_t name = lt + 1;
    if (name < text.size() && text[name] == '/') ++name;
    size_t after = name + tag.size();
    size_t end = std::string_view::npos;
    if (matchesAt(text, name, tag) && after < text.size()) {
      if (text[after] == '>') {
        end = after;
      } else if (isRegexSpaceAt(text, after)) {
        end = findGt(after);
      }
    }
    if (end == std::string_view::npos) {
      scan = lt + 1;
      continue;
    }
    out.append(text.substr(pos, lt - pos));
    out.push_back('\n');
    pos = scan = end + 1;
  }
  out.append(text.substr(pos));
  return out;
}

std::string dropTags(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0, scan = 0;
  for (;;) {
    size_t lt = text.find('<', scan);
    if (lt == std::string_view::npos) break;
    if (lt + 1 >= text.size() || text[lt + 1] == '>') {
      scan = lt + 1;
      continue;
    }
    size_t gt = text.find('>', lt + 1);
    if (gt == std::string_view::npos) break;  // no later tag can close either
    out.append(text.substr(pos, lt - pos));
    pos = scan = gt + 1;
  }
  out.append(text.substr(pos));
  return out;
}

std::string replaceNoCase(std::string_view text, std::string_view entity, std::string_view with) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    size_t at = findNoCase(text, entity, pos);
    if (at == std::string_view::npos) break;
    out.append(text.substr(pos, at - pos));
    out.append(with);
    pos = at + entity.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string decodeDecimalReferences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0, scan = 0;
  for (;;) {
    size_t at = text.find("&#", scan);
    if (at == std::string_view::npos) break;
    size_t i = at + 2;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == at + 2 || i >= text.size() || text[i] != ';') {
      scan = at + 1;
      continue;
    }
    std::string_view digits = text.substr(at + 2, i - at - 2);
    uint64_t code = 0;
    bool fits = true;
    for (char d : digits) {
      code = code * 10 + static_cast<uint64_t>(d - '0');
      if (code > 0xFFFFFFFFull) {
        fits = false;
        break;
      }
    }
    scan = i + 1;
    if (!fits || code >= 0x110000 || (code >= 0xD800 && code <= 0xDFFF)) continue;
    out.append(text.substr(pos, at - pos));
    char buffer[4];
    int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, static_cast<UChar32>(code));
    out.append(buffer, static_cast<size_t>(length));
    pos = scan;
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace

std::string htmlText(std::string_view html, bool full) {
  std::string text(html);
  for (std::string_view tag : {"script", "style", "noscript", "template"}) {
    text = removeElements(text, tag);
  }
  static const std::vector<std::string_view> kBlocks = {
      "p",  "div",        "h1", "h2",      "h3",      "h4",     "h5",     "h6",
      "li", "tr",         "td", "th",      "blockquote", "br", "hr",     "article",
      "section", "header", "footer", "nav", "main"};
  for (std::string_view tag : kBlocks) text = breakTags(text, tag);
  if (full) text = breakTags(text, "aside");
  text = dropTags(text);
  struct Entity {
    std::string_view name, with;
    bool toolsPath;
  };
  static const Entity kEntities[] = {
      {"&amp;", "&", true},         {"&lt;", "<", true},           {"&gt;", ">", true},
      {"&quot;", "\"", true},       {"&#39;", "'", true},          {"&apos;", "'", false},
      {"&nbsp;", " ", true},        {"&mdash;", "\u2014", true},   {"&ndash;", "\u2013", true},
      {"&hellip;", "\u2026", false}, {"&copy;", "\u00A9", false},  {"&reg;", "\u00AE", false},
      {"&trade;", "\u2122", false}, {"&laquo;", "\u00AB", false},  {"&raquo;", "\u00BB", false},
  };
  for (const Entity& e : kEntities) {
    if (full || e.toolsPath) text = replaceNoCase(text, e.name, e.with);
  }
  if (full) text = decodeDecimalReferences(text);
  return text;
}

}  // namespace zelk::documents

namespace zelk {

std::string MCPTools::parseHTML(const std::string& path) {
  std::string bytes;
  try {
    bytes = documents::readFileBytes(path);
  } catch (const std::system_error&) {
    throw MCPToolError::parseFailure("Could not read HTML file");
  }
  return documents::htmlText(documents::decodeText(bytes), false);
}

std::string HTMLDocumentParser::parse(const std::string& path) {
  std::string bytes;
  try {
    bytes = documents::readFileBytes(path);
  } catch (const std::system_error&) {
    throw DocumentParser::ParseError::parseFailure("Could not read HTML file");
  }
  std::string text = documents::htmlText(documents::decodeText(bytes), true);
  if (documents::trimWhitespaceAndNewlines(text).empty()) {
    throw DocumentParser::ParseError::parseFailure(
        "No readable text found \u2014 file may be a JavaScript-rendered app");
  }
  return text;
}

}  // namespace zelk
