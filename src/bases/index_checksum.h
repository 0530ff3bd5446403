// The checksum that ties a vectors file to the index it was saved with: XXH64 (seed 0) of the
// file's bytes, written as "xxh64:" and 16 lower-case hex digits. The swaps of a save are not
// one operation, so a vectors file can sit beside an index it does not belong to; the float
// count alone cannot tell when both builds have as many passages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelk {

class IndexChecksum {
 public:
  void update(const void* data, size_t size);
  uint64_t digest() const;
  // "xxh64:" followed by the digest in 16 hex digits.
  std::string text() const;

  static std::string of(std::string_view bytes);

 private:
  uint64_t v_[4] = {0x9E3779B185EBCA87ULL + 0xC2B2AE3D27D4EB4FULL, 0xC2B2AE3D27D4EB4FULL, 0,
                    0 - 0x9E3779B185EBCA87ULL};
  unsigned char buffer_[32] = {};
  size_t buffered_ = 0;
  uint64_t total_ = 0;
};

}  // namespace zelk
