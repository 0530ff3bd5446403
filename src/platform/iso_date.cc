#include "platform/iso_date.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace zelk::platform {

double now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string iso8601(double seconds) {
  time_t t = static_cast<time_t>(std::floor(seconds));
  tm utc{};
  gmtime_r(&t, &utc);
  char buf[96];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return buf;
}

namespace {
bool digits(std::string_view s, size_t pos, size_t n, int& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}
}  // namespace

std::optional<double> parseISO8601(std::string_view s) {
  int y, mo, d, h, mi, se;
  if (!digits(s, 0, 4, y) || s.size() < 20 || s[4] != '-' || !digits(s, 5, 2, mo) ||
      s[7] != '-' || !digits(s, 8, 2, d) || s[10] != 'T' || !digits(s, 11, 2, h) ||
      s[13] != ':' || !digits(s, 14, 2, mi) || s[16] != ':' || !digits(s, 17, 2, se)) {
    return std::nullopt;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return std::nullopt;
  size_t pos = 19;
  double fraction = 0;
  if (pos < s.size() && s[pos] == '.') {
    double scale = 0.1;
    ++pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      fraction += (s[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
  }
  int offset = 0;
  if (pos < s.size() && s[pos] == 'Z') {
    ++pos;
  } else if (pos + 6 == s.size() && (s[pos] == '+' || s[pos] == '-')) {
    int oh, om;
    if (!digits(s, pos + 1, 2, oh) || s[pos + 3] != ':' || !digits(s, pos + 4, 2, om)) {
      return std::nullopt;
    }
    offset = (oh * 3600 + om * 60) * (s[pos] == '-' ? -1 : 1);
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;
  tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = se;
  return static_cast<double>(timegm(&t)) - offset + fraction;
}

}  // namespace zelk::platform
