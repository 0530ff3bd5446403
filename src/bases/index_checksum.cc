#include "bases/index_checksum.h"

#include <cstring>

namespace zelk {
namespace {

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5ULL;

inline uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
inline uint64_t read64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // the format is little-endian, as is every machine this builds for
}
inline uint32_t read32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t round(uint64_t acc, uint64_t input) {
  acc += input * kP2;
  acc = rotl(acc, 31);
  return acc * kP1;
}
inline uint64_t merge(uint64_t acc, uint64_t v) {
  acc ^= round(0, v);
  return acc * kP1 + kP4;
}

}  // namespace

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "index files are little-endian");

void IndexChecksum::update(const void* data, size_t size) {
  if (size == 0) return;  // data may be null then
  const auto* p = static_cast<const unsigned char*>(data);
  total_ += size;
  if (buffered_ > 0) {
    size_t take = std::min(size, 32 - buffered_);
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    size -= take;
    if (buffered_ < 32) return;
    for (int i = 0; i < 4; ++i) v_[i] = round(v_[i], read64(buffer_ + 8 * i));
    buffered_ = 0;
  }
  uint64_t v0 = v_[0], v1 = v_[1], v2 = v_[2], v3 = v_[3];
  while (size >= 32) {
    v0 = round(v0, read64(p));
    v1 = round(v1, read64(p + 8));
    v2 = round(v2, read64(p + 16));
    v3 = round(v3, read64(p + 24));
    p += 32;
    size -= 32;
  }
  v_[0] = v0, v_[1] = v1, v_[2] = v2, v_[3] = v3;
  if (size > 0) std::memcpy(buffer_, p, size);
  buffered_ = size;
}

uint64_t IndexChecksum::digest() const {
  uint64_t h;
  if (total_ >= 32) {
    h = rotl(v_[0], 1) + rotl(v_[1], 7) + rotl(v_[2], 12) + rotl(v_[3], 18);
    for (uint64_t v : v_) h = merge(h, v);
  } else {
    h = kP5;  // seed 0
  }
  h += total_;
  const unsigned char* p = buffer_;
  size_t left = buffered_;
  while (left >= 8) {
    h ^= round(0, read64(p));
    h = rotl(h, 27) * kP1 + kP4;
    p += 8;
    left -= 8;
  }
  if (left >= 4) {
    h ^= uint64_t(read32(p)) * kP1;
    h = rotl(h, 23) * kP2 + kP3;
    p += 4;
    left -= 4;
  }
  while (left > 0) {
    h ^= uint64_t(*p) * kP5;
    h = rotl(h, 11) * kP1;
    ++p;
    --left;
  }
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  h ^= h >> 32;
  return h;
}

std::string IndexChecksum::text() const {
  static const char* kHex = "0123456789abcdef";
  uint64_t d = digest();
  std::string out = "xxh64:";
  for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(d >> shift) & 0xF];
  return out;
}

std::string IndexChecksum::of(std::string_view bytes) {
  IndexChecksum sum;
  sum.update(bytes.data(), bytes.size());
  return sum.text();
}

}  // namespace zelk
