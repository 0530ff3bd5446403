#include "tables/internal/answer_text_set.h"

#include <functional>

namespace zelk::tables {

namespace {
size_t hashOf(std::string_view text) { return std::hash<std::string_view>{}(text); }
}  // namespace

std::string_view TextSet::at(size_t i) const {
  uint64_t begin = i == 0 ? 0 : ends_[i - 1];
  return std::string_view(bytes_).substr(begin, ends_[i] - begin);
}

void TextSet::grow() {
  size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  slots_.assign(capacity, 0);
  const size_t mask = capacity - 1;
  for (size_t i = 0; i < ends_.size(); ++i) {
    size_t s = hashOf(at(i)) & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = static_cast<uint32_t>(i + 1);
  }
}

bool TextSet::insert(std::string_view text) {
  if ((ends_.size() + 1) * 4 > slots_.size() * 3) grow();
  const size_t mask = slots_.size() - 1;
  size_t s = hashOf(text) & mask;
  while (slots_[s] != 0) {
    if (at(slots_[s] - 1) == text) return false;
    s = (s + 1) & mask;
  }
  bytes_.append(text);
  ends_.push_back(bytes_.size());
  slots_[s] = static_cast<uint32_t>(ends_.size());
  return true;
}

}  // namespace zelk::tables
