#include "protocol/paging.h"

#include <unicode/brkiter.h>

#include <algorithm>
#include <memory>

#include "platform/unicode.h"

namespace zelk::Paging {
namespace {

struct Piece {
  std::string text;
  size_t graphemes;
};

// Splits text at every occurrence of separator.
std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

// Cuts a line longer than a page at character boundaries into pieces of kMaxPage characters.
void cutLine(const std::string& line, std::vector<Piece>& pieces) {
  icu::UnicodeString text = platform::toUnicode(line);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) {
    pieces.push_back({line, platform::graphemeCount(line)});
    return;
  }
  breaks->setText(text);
  int32_t start = 0;
  size_t count = 0;
  for (int32_t at = breaks->next(); at != icu::BreakIterator::DONE; at = breaks->next()) {
    if (++count == kMaxPage) {
      pieces.push_back({platform::toUtf8(text.tempSubStringBetween(start, at)), count});
      start = at;
      count = 0;
    }
  }
  if (count > 0) pieces.push_back({platform::toUtf8(text.tempSubStringBetween(start)), count});
}

// A paragraph longer than a page (a sheet's rows, text with single line feeds) would make one
// page too big to take in, so it is cut at line feeds, and an endless line at characters.
void cutParagraph(const std::string& paragraph, std::vector<Piece>& pieces) {
  Piece current{"", 0};
  bool open = false;
  for (std::string& line : split(paragraph, "\n")) {
    size_t n = platform::graphemeCount(line);
    if (n > kMaxPage) {
      if (open) pieces.push_back(std::move(current));
      current = {"", 0};
      open = false;
      cutLine(line, pieces);
    } else if (open && current.graphemes + 1 + n <= kMaxPage) {
      current.text += "\n";
      current.text += line;
      current.graphemes += 1 + n;
    } else {
      if (open) pieces.push_back(std::move(current));
      current = {std::move(line), n};
      open = true;
    }
  }
  if (open && !current.text.empty()) pieces.push_back(std::move(current));
}

// Lengths add up across joins; a join never merges characters because the joints are line
// feeds or the caller's separator.
void splitSection(const std::string& section, std::vector<Piece>& pieces) {
  size_t length = platform::graphemeCount(section);
  if (length <= kMaxPage) {
    pieces.push_back({section, length});
    return;
  }
  Piece current{"", 0};
  for (std::string& paragraph : split(section, "\n\n")) {
    size_t n = platform::graphemeCount(paragraph);
    if (n > kMaxPage) {
      if (!current.text.empty()) pieces.push_back(std::move(current));
      current = {"", 0};
      cutParagraph(paragraph, pieces);
      continue;
    }
    size_t joined = current.text.empty() ? n : current.graphemes + 2 + n;
    if (joined <= kMaxPage) {
      if (current.text.empty()) {
        current = {std::move(paragraph), n};
      } else {
        current.text += "\n\n";
        current.text += paragraph;
        current.graphemes = joined;
      }
    } else {
      if (!current.text.empty()) pieces.push_back(std::move(current));
      current = {std::move(paragraph), n};
    }
  }
  if (!current.text.empty()) pieces.push_back(std::move(current));
}

}  // namespace

std::vector<std::string> paginate(const std::vector<std::string>& sections,
                                  const std::string& separator) {
  std::vector<Piece> pieces;
  for (const auto& section : sections) splitSection(section, pieces);
  size_t separatorLength = platform::graphemeCount(separator);

  std::vector<std::string> pages;
  std::string page;
  size_t pageLength = 0;
  bool open = false;
  for (auto& piece : pieces) {
    if (!open) {
      page = std::move(piece.text);
      pageLength = piece.graphemes;
      open = true;
    } else if (pageLength + separatorLength + piece.graphemes <= kMaxPage) {
      page += separator;
      page += piece.text;
      pageLength += separatorLength + piece.graphemes;
    } else {
      pages.push_back(std::move(page));
      page = std::move(piece.text);
      pageLength = piece.graphemes;
    }
  }
  if (open) pages.push_back(std::move(page));
  return pages;
}

std::string reply(const std::vector<std::string>& sections, const std::string& separator,
                  int cursor, JSONObject details) {
  std::vector<std::string> pages = paginate(sections, separator);
  int n = static_cast<int>(pages.size());
  int shown = std::clamp(cursor, 1, std::max(1, n));
  if (n >= 2) {
    details["page"] = shown;
    details["pages"] = n;
    if (cursor < n) {
      std::string next = std::to_string(shown + 1);
      details["next_cursor"] = next;
      details["paging"] = "page " + std::to_string(shown) + " of " + std::to_string(n) +
                          ". Call again with the same arguments and cursor \"" + next +
                          "\" for the next page.";
    }
  }
  std::string text = n == 0 ? std::string() : pages[static_cast<size_t>(shown - 1)];
  std::string json;
  try {
    json = JSONValue(std::move(details)).encodePretty();
  } catch (const JSONEncodeError&) {
    json = "{}";
  }
  return text + blockBreak + json;
}

}  // namespace zelk::Paging
