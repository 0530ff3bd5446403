// Cuts long tool answers into pages of about 20,000 tokens and joins a page with its details.
#pragma once

#include <string>
#include <vector>

#include "protocol/json_value.h"

namespace zelk::Paging {

// "zelk-block" between two U+001E record separators: splits one answer into content items.
inline const std::string blockBreak = "\x1ezelk-block\x1e";
// Page size in user-perceived characters (the largest page is kMaxPage characters).
inline constexpr size_t kMaxPage = 80003;

std::vector<std::string> paginate(const std::vector<std::string>& sections,
                                  const std::string& separator);

// The page that cursor names (clamped to the pages there are; below 2 means page 1), then
// blockBreak, then details (with page, pages, next_cursor and paging when there are several
// pages) as pretty JSON, or "{}" when the details can't be written.
std::string reply(const std::vector<std::string>& sections, const std::string& separator,
                  int cursor, JSONObject details);

}  // namespace zelk::Paging
