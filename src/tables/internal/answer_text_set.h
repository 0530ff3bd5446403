// An exact set of texts kept compactly (one arena of bytes and an open-addressing table of
// indexes), for count_distinct over millions of cells. One owner; no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::tables {

class TextSet {
 public:
  // Adds the text; true when it was new.
  bool insert(std::string_view text);
  size_t size() const { return ends_.size(); }

 private:
  std::string_view at(size_t i) const;
  void grow();

  std::string bytes_;
  std::vector<uint64_t> ends_;   // end offset of each text in bytes_
  std::vector<uint32_t> slots_;  // index + 1 of a text, 0 for an empty slot
};

}  // namespace zelk::tables
