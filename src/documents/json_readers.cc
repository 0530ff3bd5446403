#include "documents/json_readers.h"

#include <nlohmann/json.hpp>

#include "documents/document_parser.h"
#include "documents/internal/text_util.h"
#include "platform/unicode.h"
#include "protocol/json_value.h"
#include "protocol/mcp_tool_error.h"

namespace zelk {
namespace documents {
namespace {

// Accepts every event: the parser itself checks the syntax without building anything.
class Validator : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override { return top(); }
  bool boolean(bool) override { return top(); }
  bool number_integer(number_integer_t) override { return top(); }
  bool number_unsigned(number_unsigned_t) override { return top(); }
  bool number_float(number_float_t, const string_t&) override { return top(); }
  bool string(string_t&) override { return top(); }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    ++depth_;
    return true;
  }
  bool key(string_t&) override { return true; }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    std::string what = e.what();
    // Drop nlohmann's "[json.exception.parse_error.101] " tag.
    if (!what.empty() && what.front() == '[') {
      size_t close = what.find("] ");
      if (close != std::string::npos) what = what.substr(close + 2);
    }
    error_ = what;
    return false;
  }

  bool allowFragments = true;
  bool scalarAtTop = false;
  std::string error_;

 private:
  bool top() {
    if (depth_ == 0 && !allowFragments) {
      scalarAtTop = true;
      return false;
    }
    return true;
  }
  long depth_ = 0;
};

}  // namespace

std::optional<std::string> jsonSyntaxError(std::string_view bytes, bool allowFragments) {
  Validator v;
  v.allowFragments = allowFragments;
  bool ok = nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &v,
                                      nlohmann::json::input_format_t::json, true, false);
  if (ok) return std::nullopt;
  if (v.scalarAtTop) return std::string("the top level is not an object or an array");
  return v.error_.empty() ? std::string("invalid JSON") : v.error_;
}

}  // namespace documents

namespace JSONLeadingValue {

std::optional<Split> split(std::string_view text) {
  // Skip a byte-order mark, white space and line breaks.
  size_t i = 0;
  for (;;) {
    if (text.compare(i, 3, "\xEF\xBB\xBF") == 0) {
      i += 3;
      continue;
    }
    std::string_view rest = text.substr(i);
    std::string_view trimmed = documents::trimWhitespaceAndNewlines(rest);
    size_t leading = trimmed.empty() ? rest.size() : static_cast<size_t>(trimmed.data() - rest.data());
    if (leading == 0) break;
    i += leading;
  }
  if (i >= text.size()) return std::nullopt;
  if (text[i] != '{' && text[i] != '[') return std::nullopt;
  size_t start = i;
  long depth = 0;
  bool inString = false, escape = false;
  size_t end = std::string_view::npos;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (escape) escape = false;
      else if (c == '"') inString = false;
      else if (c == '\\') escape = true;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 1) {
        end = i;
        break;
      }
      --depth;
    }
  }
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view json = text.substr(start, end + 1 - start);
  std::string_view trailer = documents::trimWhitespaceAndNewlines(text.substr(end + 1));
  if (trailer.empty()) return std::nullopt;
  if (documents::jsonSyntaxError(json, false)) return std::nullopt;
  return Split{std::string(json), std::string(trailer)};
}

}  // namespace JSONLeadingValue

std::string JSONDocumentParser::parse(const std::string& path) {
  std::string bytes = documents::readFileBytes(path);
  if (std::optional<std::string> error = documents::jsonSyntaxError(bytes, true)) {
    bool leading = platform::isValidUtf8(bytes) && JSONLeadingValue::split(bytes).has_value();
    if (!leading) throw DocumentParser::ParseError::parseFailure("Invalid JSON: " + *error);
  }
  if (!platform::isValidUtf8(bytes) || documents::trimWhitespaceAndNewlines(bytes).empty()) {
    throw DocumentParser::ParseError::parseFailure("JSON file contains no readable content");
  }
  return bytes;
}

std::string MCPTools::parseJSON(const std::string& path) {
  std::string bytes = documents::readFileBytes(path);
  if (!platform::isValidUtf8(bytes)) throw MCPToolError::parseFailure("Could not read JSON file");
  std::optional<std::string> error = documents::jsonSyntaxError(bytes, true);
  if (!error) return bytes;
  if (JSONLeadingValue::split(bytes)) return bytes;
  throw JSONParseError(*error);
}

}  // namespace zelk
