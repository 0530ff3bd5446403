#include "bases/index_json.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace zelk::index_json {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Bytes that end a plain run inside a string: the quote, the backslash and control characters.
struct StopTable {
  bool stop[256] = {};
  StopTable() {
    for (int c = 0; c < 0x20; ++c) stop[c] = true;
    stop[uint8_t('"')] = true;
    stop[uint8_t('\\')] = true;
  }
};
const StopTable kStops;

}  // namespace

void Reader::skipSpace() {
  while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
}

char Reader::peek() {
  if (!ok_) return 0;
  skipSpace();
  return pos_ < text_.size() ? text_[pos_] : 0;
}

bool Reader::atEnd() {
  skipSpace();
  return pos_ == text_.size();
}

bool Reader::literal(std::string_view word) {
  if (text_.substr(pos_, word.size()) != word) return fail();
  pos_ += word.size();
  return true;
}

bool Reader::beginObject() {
  if (peek() != '{') return fail();
  ++pos_;
  return true;
}

bool Reader::nextMember(bool& first, std::string& key) {
  char c = peek();
  if (c == '}') {
    ++pos_;
    return false;
  }
  if (!first) {
    if (c != ',') return fail();
    ++pos_;
    c = peek();
  }
  first = false;
  if (c != '"' || !readString(key)) return fail();
  if (peek() != ':') return fail();
  ++pos_;
  return true;
}

bool Reader::beginArray() {
  if (peek() != '[') return fail();
  ++pos_;
  return true;
}

bool Reader::nextElement(bool& first) {
  char c = peek();
  if (c == ']') {
    ++pos_;
    return false;
  }
  if (!first) {
    if (c != ',') return fail();
    ++pos_;
    if (peek() == ']') return fail();  // no trailing comma
  }
  first = false;
  return ok_ && pos_ < text_.size();
}

bool Reader::readString(std::string& out) {
  out.clear();
  if (peek() != '"') return fail();
  ++pos_;
  const char* data = text_.data();
  const size_t size = text_.size();
  while (true) {
    size_t start = pos_;
    while (pos_ < size && !kStops.stop[uint8_t(data[pos_])]) ++pos_;
    out.append(data + start, pos_ - start);
    if (pos_ >= size) return fail();
    char c = data[pos_];
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c != '\\') return fail();  // raw control character
    if (++pos_ >= size) return fail();
    char e = data[pos_++];
    switch (e) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        auto unit = [&](uint32_t& value) {
          if (pos_ + 4 > size) return false;
          value = 0;
          for (int i = 0; i < 4; ++i) {
            int h = hexValue(data[pos_ + size_t(i)]);
            if (h < 0) return false;
            value = value * 16 + uint32_t(h);
          }
          pos_ += 4;
          return true;
        };
        uint32_t cp;
        if (!unit(cp)) return fail();
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          uint32_t low;
          size_t mark = pos_;
          if (pos_ + 1 < size && data[pos_] == '\\' && data[pos_ + 1] == 'u') {
            pos_ += 2;
            if (!unit(low)) return fail();
            if (low >= 0xDC00 && low <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              cp = 0xFFFD;
              pos_ = mark;  // the second escape is read on its own
            }
          } else {
            cp = 0xFFFD;
          }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
          cp = 0xFFFD;
        }
        appendUtf8(cp, out);
        break;
      }
      default:
        return fail();
    }
  }
}

bool Reader::skipString() {
  static thread_local std::string scratch;
  bool done = readString(scratch);
  if (scratch.capacity() > (size_t(1) << 20)) std::string().swap(scratch);
  return done;
}

bool Reader::readNumber(double& out) {
  char c = peek();
  if (c != '-' && !(c >= '0' && c <= '9')) return fail();
  // JSON's grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
  size_t p = pos_;
  const size_t size = text_.size();
  auto digits = [&] {
    size_t from = p;
    while (p < size && text_[p] >= '0' && text_[p] <= '9') ++p;
    return p > from;
  };
  if (text_[p] == '-') ++p;
  if (p < size && text_[p] == '0') {
    ++p;
  } else if (!digits()) {
    return fail();
  }
  if (p < size && text_[p] == '.') {
    ++p;
    if (!digits()) return fail();
  }
  if (p < size && (text_[p] == 'e' || text_[p] == 'E')) {
    ++p;
    if (p < size && (text_[p] == '+' || text_[p] == '-')) ++p;
    if (!digits()) return fail();
  }
  auto result = std::from_chars(text_.data() + pos_, text_.data() + p, out);
  if (result.ec != std::errc() || result.ptr != text_.data() + p || !std::isfinite(out)) {
    return fail();
  }
  pos_ = p;
  return true;
}

bool Reader::readInteger(int64_t& out, int64_t min, int64_t max) {
  double value;
  if (!readNumber(value)) return false;
  if (value != std::floor(value) || value < double(min) || value > double(max)) return fail();
  out = int64_t(value);
  return true;
}

bool Reader::readBool(bool& out) {
  char c = peek();
  if (c == 't') {
    out = true;
    return literal("true");
  }
  if (c == 'f') {
    out = false;
    return literal("false");
  }
  return fail();
}

bool Reader::readNull() {
  if (peek() != 'n') return false;
  return literal("null");
}

bool Reader::skipValue() {
  // Iterative, so that deep nesting in an unknown member cannot exhaust the stack.
  std::string open;  // '{' or '[' per enclosing container
  std::string key;
  while (true) {
    char c = peek();
    if (c == '{' || c == '[') {
      if (open.size() >= size_t(kMaxDepth)) return fail();
      ++pos_;
      char close = c == '{' ? '}' : ']';
      if (peek() == close) {
        ++pos_;
      } else {
        open += c;
        if (c == '{') {
          if (peek() != '"' || !readString(key) || peek() != ':') return fail();
          ++pos_;
        }
        continue;  // the first member's or element's value follows
      }
    } else if (c == '"') {
      if (!skipString()) return false;
    } else if (c == 't') {
      if (!literal("true")) return false;
    } else if (c == 'f') {
      if (!literal("false")) return false;
    } else if (c == 'n') {
      if (!literal("null")) return false;
    } else {
      double ignored;
      if (!readNumber(ignored)) return false;
    }
    // A value is complete: close containers, or move on to the next member or element.
    while (true) {
      if (open.empty()) return true;
      char next = peek();
      char close = open.back() == '{' ? '}' : ']';
      if (next == close) {
        ++pos_;
        open.pop_back();
        continue;
      }
      if (next != ',') return fail();
      ++pos_;
      if (open.back() == '{') {
        if (peek() != '"' || !readString(key) || peek() != ':') return fail();
        ++pos_;
      }
      break;
    }
  }
}

}  // namespace zelk::index_json
