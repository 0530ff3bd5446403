// Section splitting and retrieval chunking (chunker version 2).
#include "retrieval/retrieval_chunker.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>

#include "platform/unicode.h"

namespace zelk {
namespace {

// Code point at byte i (advancing i); ill-formed bytes read as U+FFFD.
UChar32 nextScalar(std::string_view s, size_t& i) {
  UChar32 c;
  int32_t pos = int32_t(i);
  U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), pos, int32_t(s.size()), c);
  i = size_t(pos);
  return c < 0 ? 0xFFFD : c;
}

UChar32 previousScalar(std::string_view s, size_t& end) {
  UChar32 c;
  int32_t pos = int32_t(end);
  U8_PREV(reinterpret_cast<const uint8_t*>(s.data()), 0, pos, c);
  end = size_t(pos);
  return c < 0 ? 0xFFFD : c;
}

template <typename Pred>
std::string_view trimBy(std::string_view s, Pred strip) {
  size_t begin = 0;
  while (begin < s.size()) {
    size_t next = begin;
    if (!strip(nextScalar(s, next))) break;
    begin = next;
  }
  size_t end = s.size();
  while (end > begin) {
    size_t prev = end;
    if (!strip(previousScalar(s, prev))) break;
    end = prev;
  }
  return s.substr(begin, end - begin);
}

// Spaces and tabs: the space separators and U+0009.
std::string_view trimSpaces(std::string_view s) {
  return trimBy(s, [](UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; });
}

// White space and line breaks (the Unicode White_Space property).
std::string_view trimWhite(std::string_view s) {
  return trimBy(s, [](UChar32 c) { return u_isUWhiteSpace(c) != 0; });
}

size_t scalarCount(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

size_t commaCount(std::string_view s) { return size_t(std::count(s.begin(), s.end(), ',')); }

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (true) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(pos));
      return lines;
    }
    lines.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

bool isHeadingLine(std::string_view line) {
  std::string_view trimmed = trimSpaces(line);
  return (!trimmed.empty() && trimmed.front() == '#') || SmartSelect::isAllCapsHeading(trimmed);
}

}  // namespace

bool SmartSelect::isAllCapsHeading(std::string_view line) {
  std::string_view trimmed = trimSpaces(line);
  if (platform::graphemeCount(trimmed) < 3) return false;
  size_t letters = 0;
  for (size_t i = 0; i < trimmed.size();) {
    UChar32 c = nextScalar(trimmed, i);
    if (!u_isalpha(c)) continue;
    int8_t type = u_charType(c);
    if (type != U_UPPERCASE_LETTER && type != U_TITLECASE_LETTER) return false;
    ++letters;
  }
  return letters >= 3;
}

std::vector<std::string> SmartSelect::splitIntoSections(std::string_view text) {
  std::vector<std::string> sections;
  std::vector<std::string> current;
  auto close = [&] {
    if (current.empty()) return;
    sections.emplace_back(trimWhite(join(current, "\n")));
    current.clear();
  };
  for (std::string& line : splitLines(text)) {
    if (!current.empty() && isHeadingLine(line)) close();
    current.push_back(std::move(line));
  }
  close();

  std::vector<std::string> out;
  for (std::string& section : sections) {
    if (platform::graphemeCount(section) >= 2001) {
      size_t pos = 0;
      while (pos <= section.size()) {
        size_t end = section.find("\n\n", pos);
        if (end == std::string::npos) end = section.size();
        std::string_view piece = std::string_view(section).substr(pos, end - pos);
        if (!trimWhite(piece).empty()) out.emplace_back(piece);
        pos = end + 2;
      }
    } else if (!trimWhite(section).empty()) {
      out.push_back(std::move(section));
    }
  }
  return out;
}

std::vector<RetrievalChunker::Block> RetrievalChunker::splitBlocks(std::string_view text) {
  std::vector<Block> blocks;
  Block current;
  auto keep = [&] {
    if (!current.header.empty() || !current.body.empty()) blocks.push_back(std::move(current));
    current = Block{};
  };
  for (std::string& line : splitLines(text)) {
    std::string_view trimmed = trimSpaces(line);
    if (!trimmed.empty() && trimmed.front() == '#') {
      keep();
      current.header = std::string(trimmed);
    } else {
      current.body.push_back(std::move(line));
    }
  }
  keep();
  return blocks;
}

bool RetrievalChunker::looksGrid(const std::vector<std::string>& lines, size_t minRows,
                                 double frac, size_t minDelims) {
  std::vector<size_t> counts;
  for (const std::string& line : lines) {
    if (!trimSpaces(line).empty()) counts.push_back(commaCount(line));
  }
  if (counts.size() < minRows) return false;
  const double n = double(counts.size());
  size_t delimited = size_t(std::count_if(counts.begin(), counts.end(),
                                          [&](size_t c) { return c >= minDelims; }));
  if (double(delimited) / n < frac) return false;
  std::vector<size_t> sorted = counts;
  std::sort(sorted.begin(), sorted.end());
  const size_t median = sorted[sorted.size() / 2];
  size_t near = size_t(std::count_if(counts.begin(), counts.end(), [&](size_t c) {
    return (c > median ? c - median : median - c) <= 2;
  }));
  return double(near) / n >= frac;
}

std::vector<std::string> RetrievalChunker::rowWindows(const std::vector<std::string>& lines,
                                                      const std::vector<std::string>& headerLines,
                                                      size_t size) {
  std::vector<std::string> kept;
  for (const std::string& h : headerLines) {
    if (!h.empty()) kept.push_back(h);
  }
  const std::string prefix = kept.empty() ? "" : join(kept, "\n") + "\n";
  std::vector<std::string> windows;
  std::vector<std::string> window;
  size_t running = 0;
  for (const std::string& line : lines) {
    size_t n = scalarCount(line);
    if (!window.empty() && running + n > size) {
      windows.push_back(prefix + join(window, "\n"));
      window.clear();
      running = 0;
    }
    window.push_back(line);
    running += n + 1;
  }
  if (!window.empty()) windows.push_back(prefix + join(window, "\n"));
  return windows;
}

std::vector<std::string> RetrievalChunker::joinShort(const std::vector<std::string>& passages) {
  std::vector<std::string> out;
  std::string pending;
  for (const std::string& passage : passages) {
    std::string_view trimmed = trimWhite(passage);
    if (trimmed.empty()) continue;
    if (platform::graphemeCount(trimmed) >= 120) {
      if (!pending.empty()) {
        out.push_back(pending + "\n" + passage);
        pending.clear();
      } else {
        out.push_back(passage);
      }
    } else {
      if (!pending.empty()) pending += "\n";
      pending += trimmed;
    }
  }
  if (!pending.empty()) {
    if (out.empty()) out.push_back(pending);
    else out.back() += "\n" + pending;
  }
  return out;
}

std::vector<std::string> RetrievalChunker::chunk(std::string_view text) const {
  std::vector<std::string> passages;
  for (const Block& block : splitBlocks(text)) {
    if (looksGrid(block.body)) {
      size_t headerRow = block.body.size();
      for (size_t i = 0; i < block.body.size(); ++i) {
        if (!trimSpaces(block.body[i]).empty() && commaCount(block.body[i]) >= 2) {
          headerRow = i;
          break;
        }
      }
      std::vector<std::string> rows;
      std::string headerText;
      if (headerRow < block.body.size()) {
        headerText = block.body[headerRow];
        rows.assign(block.body.begin() + long(headerRow) + 1, block.body.end());
      } else {
        rows = block.body;
      }
      for (std::string& w : rowWindows(rows, {block.header, headerText}, size_t(tableWindow))) {
        passages.push_back(std::move(w));
      }
      continue;
    }
    std::string blockText = block.header.empty() ? "" : block.header + "\n";
    blockText += join(block.body, "\n");
    for (std::string& section : SmartSelect::splitIntoSections(blockText)) {
      if (scalarCount(section) > size_t(sectionLimit)) {
        for (std::string& w : rowWindows(splitLines(section), {}, size_t(sectionLimit))) {
          passages.push_back(std::move(w));
        }
      } else {
        passages.push_back(std::move(section));
      }
    }
  }
  return joinShort(passages);
}

}  // namespace zelk
