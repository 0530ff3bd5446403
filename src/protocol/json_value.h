// The one JSON value type of the protocol and the tools, with its exact reading and writing rules.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zelk {

class JSONValue;
using JSONArray = std::vector<JSONValue>;
// Keys carry no order; a sorted map also makes every written object's keys sorted.
using JSONObject = std::map<std::string, JSONValue>;

// Thrown when a text is not JSON, or nests deeper than kMaxDepth.
struct JSONParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Thrown when a value cannot be written (a number that is not finite).
struct JSONEncodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class JSONValue {
 public:
  enum class Kind { string, number, boolean, array, object, null };

  // Arrays and objects nested deeper than this are refused when reading.
  static constexpr size_t kMaxDepth = 1000;

  JSONValue() : v_(nullptr) {}
  JSONValue(std::nullptr_t) : v_(nullptr) {}
  JSONValue(std::string s) : v_(std::move(s)) {}
  JSONValue(const char* s) : v_(std::string(s)) {}
  JSONValue(std::string_view s) : v_(std::string(s)) {}
  JSONValue(double d) : v_(d) {}
  JSONValue(int i) : v_(static_cast<double>(i)) {}
  JSONValue(long i) : v_(static_cast<double>(i)) {}
  JSONValue(long long i) : v_(static_cast<double>(i)) {}
  JSONValue(unsigned i) : v_(static_cast<double>(i)) {}
  JSONValue(unsigned long i) : v_(static_cast<double>(i)) {}
  JSONValue(unsigned long long i) : v_(static_cast<double>(i)) {}
  JSONValue(bool b) : v_(b) {}
  JSONValue(JSONArray a) : v_(std::move(a)) {}
  JSONValue(JSONObject o) : v_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool isString() const { return kind() == Kind::string; }
  bool isNumber() const { return kind() == Kind::number; }
  bool isBool() const { return kind() == Kind::boolean; }
  bool isArray() const { return kind() == Kind::array; }
  bool isObject() const { return kind() == Kind::object; }
  bool isNull() const { return kind() == Kind::null; }

  // Typed access; nullptr when the value is of another kind.
  const std::string* string() const { return std::get_if<std::string>(&v_); }
  const double* number() const { return std::get_if<double>(&v_); }
  const bool* boolean() const { return std::get_if<bool>(&v_); }
  const JSONArray* array() const { return std::get_if<JSONArray>(&v_); }
  const JSONObject* object() const { return std::get_if<JSONObject>(&v_); }
  JSONArray* array() { return std::get_if<JSONArray>(&v_); }
  JSONObject* object() { return std::get_if<JSONObject>(&v_); }

  // Member of an object; nullptr when this is not an object or has no such key.
  const JSONValue* find(const std::string& key) const;

  // A number's value, or the double a whole string parses to (no surrounding spaces).
  std::optional<double> numberValue() const;

  // Structural equality; strings compare by canonical equivalence.
  bool operator==(const JSONValue& other) const;

  // Reads one JSON text (no trailing content besides white space). Throws JSONParseError.
  static JSONValue parse(std::string_view text);
  // Whether "/" is written as "\/" (the wire form) or as itself (answers meant to be read).
  enum class Slashes { escaped, plain };
  // Compact: no spaces or line breaks. Throws JSONEncodeError for non-finite numbers.
  std::string encode(Slashes slashes = Slashes::escaped) const;
  // Pretty: two-space indentation, one member or element per line.
  std::string encodePretty() const;

 private:
  std::variant<std::string, double, bool, JSONArray, JSONObject, std::nullptr_t> v_;
};

// Writes one number by the wire rules: shortest round-trip form, integral values without ".0".
std::string encodeJSONNumber(double value);
// Writes one string literal with its quotes (slashes escaped unless told otherwise, non-ASCII
// as UTF-8).
void encodeJSONString(std::string_view text, std::string& out,
                      JSONValue::Slashes slashes = JSONValue::Slashes::escaped);

}  // namespace zelk
