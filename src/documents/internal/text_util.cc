#include "documents/internal/text_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cerrno>
#include <system_error>

#include "platform/paths.h"
#include "platform/unicode.h"

namespace zelk::documents {
namespace {

bool isSpaceOrTab(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

bool isLineBreak(UChar32 c) {
  return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 ||
         c == 0x2029;
}

template <typename Pred>
std::string_view trimBy(std::string_view text, Pred pred) {
  const char* s = text.data();
  int32_t length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !pred(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t prev = end;
    UChar32 c;
    U8_PREV(s, begin, prev, c);
    if (c < 0 || !pred(c)) break;
    end = prev;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (unsigned char b : bytes) {
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

std::string decodeText(std::string_view bytes) {
  if (platform::isValidUtf8(bytes)) return std::string(bytes);
  return latin1ToUtf8(bytes);
}

std::string_view trimWhitespace(std::string_view text) { return trimBy(text, isSpaceOrTab); }

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  return trimBy(text, [](UChar32 c) { return isSpaceOrTab(c) || isLineBreak(c); });
}

std::string_view trimSpacesAndTabs(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

std::string readFileBytes(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "Could not open " + platform::lastPathComponent(path));
  }
  std::string data;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.reserve(static_cast<size_t>(st.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      throw std::system_error(err, std::generic_category(),
                              "Could not read " + platform::lastPathComponent(path));
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

}  // namespace zelk::documents
