#include "platform/uuid.h"

#include <openssl/rand.h>

#include <cctype>
#include <random>

namespace zelk::platform {

std::string randomUUID() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof(b)) != 1) {
    std::random_device rd;
    for (auto& byte : b) byte = static_cast<unsigned char>(rd());
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(hex[b[i] >> 4]);
    out.push_back(hex[b[i] & 0x0F]);
  }
  return out;
}

std::optional<std::string> canonicalUUID(const std::string& text) {
  if (text.size() != 36) return std::nullopt;
  std::string out = text;
  for (size_t i = 0; i < out.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? out[i] != '-' : !std::isxdigit(static_cast<unsigned char>(out[i]))) {
      return std::nullopt;
    }
    out[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[i])));
  }
  return out;
}

}  // namespace zelk::platform
