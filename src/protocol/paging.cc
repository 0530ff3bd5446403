#include "protocol/paging.h"

#include <algorithm>

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
