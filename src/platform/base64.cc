#include "platform/base64.h"

namespace zelk::platform {

std::string base64Encode(std::string_view bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (size_t rest = bytes.size() - i; rest > 0) {
    unsigned v = at(i) << 16;
    if (rest == 2) v |= at(i + 1) << 8;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace zelk::platform
