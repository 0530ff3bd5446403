#include "protocol/json_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/unicode.h"

namespace zelk {
namespace {

// Builds JSONValue trees straight from nlohmann's SAX events with an explicit stack, so deep
// input neither recurses nor builds an intermediate tree.
class Builder : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override { return add(JSONValue(nullptr)); }
  bool boolean(bool b) override { return add(JSONValue(b)); }
  bool number_integer(number_integer_t n) override { return add(JSONValue(static_cast<double>(n))); }
  bool number_unsigned(number_unsigned_t n) override {
    return add(JSONValue(static_cast<double>(n)));
  }
  bool number_float(number_float_t d, const string_t& text) override {
    // nlohmann turns overflowing literals into infinity; JSON has no such value.
    if (!std::isfinite(d)) {
      error_ = "number out of range: " + text;
      return false;
    }
    return add(JSONValue(d));
  }
  bool string(string_t& s) override { return add(JSONValue(std::move(s))); }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return push(JSONValue(JSONObject{})); }
  bool key(string_t& k) override {
    stack_.back().key = std::move(k);
    return true;
  }
  bool end_object() override { return pop(); }
  bool start_array(std::size_t) override { return push(JSONValue(JSONArray{})); }
  bool end_array() override { return pop(); }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception&) override {
    if (error_.empty()) error_ = "invalid JSON at byte " + std::to_string(position);
    return false;
  }

  JSONValue take() { return std::move(result_); }
  const std::string& error() const { return error_; }

 private:
  struct Frame {
    JSONValue value;
    std::string key;
  };

  bool add(JSONValue v) {
    if (stack_.empty()) {
      result_ = std::move(v);
      return true;
    }
    Frame& top = stack_.back();
    if (auto* a = top.value.array()) {
      a->push_back(std::move(v));
    } else {
      (*top.value.object())[top.key] = std::move(v);  // a repeated key: the last one wins
    }
    return true;
  }
  bool push(JSONValue container) {
    if (stack_.size() >= JSONValue::kMaxDepth) {
      error_ = "JSON nested too deeply";
      return false;
    }
    stack_.push_back({std::move(container), {}});
    return true;
  }
  bool pop() {
    JSONValue done = std::move(stack_.back().value);
    stack_.pop_back();
    return add(std::move(done));
  }

  std::vector<Frame> stack_;
  JSONValue result_;
  std::string error_;
};

void encodeValue(const JSONValue& v, std::string& out, int indent, int depth,
                 JSONValue::Slashes slashes) {
  auto newline = [&](int level) {
    out.push_back('\n');
    out.append(static_cast<size_t>(level * indent), ' ');
  };
  switch (v.kind()) {
    case JSONValue::Kind::string:
      encodeJSONString(*v.string(), out, slashes);
      break;
    case JSONValue::Kind::number:
      out += encodeJSONNumber(*v.number());
      break;
    case JSONValue::Kind::boolean:
      out += *v.boolean() ? "true" : "false";
      break;
    case JSONValue::Kind::null:
      out += "null";
      break;
    case JSONValue::Kind::array: {
      const JSONArray& a = *v.array();
      out.push_back('[');
      for (size_t i = 0; i < a.size(); ++i) {
        if (i) out.push_back(',');
        if (indent) newline(depth + 1);
        encodeValue(a[i], out, indent, depth + 1, slashes);
      }
      if (indent && !a.empty()) newline(depth);
      out.push_back(']');
      break;
    }
    case JSONValue::Kind::object: {
      const JSONObject& o = *v.object();
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : o) {
        if (!first) out.push_back(',');
        first = false;
        if (indent) newline(depth + 1);
        encodeJSONString(key, out, slashes);
        out += indent ? " : " : ":";
        encodeValue(member, out, indent, depth + 1, slashes);
      }
      if (indent && !o.empty()) newline(depth);
      out.push_back('}');
      break;
    }
  }
}

}  // namespace

std::string encodeJSONNumber(double value) {
  if (!std::isfinite(value)) throw JSONEncodeError("Unable to encode a non-finite number");
  if (value == 0) return "0";  // negative zero too
  char buf[64];
  // Integral values below 2^53 are written as plain integers, with no exponent and no ".0".
  if (std::trunc(value) == value && std::fabs(value) < 9007199254740992.0) {
    auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), static_cast<long long>(value));
    return std::string(buf, end);
  }
  auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), value);
  return std::string(buf, end);
}

void encodeJSONString(std::string_view text, std::string& out, JSONValue::Slashes slashes) {
  out.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += slashes == JSONValue::Slashes::escaped ? "\\/" : "/"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof(esc), "\\u%04x", c);
          out += esc;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

const JSONValue* JSONValue::find(const std::string& key) const {
  const JSONObject* o = object();
  if (!o) return nullptr;
  auto it = o->find(key);
  return it == o->end() ? nullptr : &it->second;
}

std::optional<double> JSONValue::numberValue() const {
  if (const double* d = number()) return *d;
  const std::string* s = string();
  if (!s || s->empty()) return std::nullopt;
  const char* begin = s->data();
  const char* end = begin + s->size();
  if (*begin == '+') ++begin;  // a leading plus reads as a sign, as in decimal notation
  double out = 0;
  auto [ptr, ec] = std::from_chars(begin, end, out);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return out;
}

bool JSONValue::operator==(const JSONValue& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::string: return platform::canonicallyEqual(*string(), *other.string());
    case Kind::number: return *number() == *other.number();
    case Kind::boolean: return *boolean() == *other.boolean();
    case Kind::null: return true;
    case Kind::array: return *array() == *other.array();
    case Kind::object: {
      const JSONObject& a = *object();
      const JSONObject& b = *other.object();
      if (a.size() != b.size()) return false;
      for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
        if (ia->first != ib->first || !(ia->second == ib->second)) return false;
      }
      return true;
    }
  }
  return false;
}

JSONValue JSONValue::parse(std::string_view text) {
  // The lexer takes a NUL byte for the end of input; JSON never holds one outside an escape.
  if (text.find('\0') != std::string_view::npos) throw JSONParseError("NUL byte in JSON");
  Builder builder;
  bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                      nlohmann::json::input_format_t::json, true, false);
  if (!ok) {
    throw JSONParseError(builder.error().empty() ? "invalid JSON" : builder.error());
  }
  return builder.take();
}

std::string JSONValue::encode(Slashes slashes) const {
  std::string out;
  encodeValue(*this, out, 0, 0, slashes);
  return out;
}

std::string JSONValue::encodePretty() const {
  std::string out;
  encodeValue(*this, out, 2, 0, Slashes::escaped);
  return out;
}

}  // namespace zelk
