// The errors tool handlers throw; what() is the exact text the AI app sees.
#pragma once

#include <stdexcept>
#include <string>

namespace zelk {

class MCPToolError : public std::runtime_error {
 public:
  enum class Kind { missingArgument, fileNotFound, unsupportedFormat, parseFailure, refused };

  static MCPToolError missingArgument(const std::string& name) {
    return {Kind::missingArgument, "Missing required argument: " + name};
  }
  static MCPToolError fileNotFound(const std::string& detail) {
    return {Kind::fileNotFound, "File not found: " + detail};
  }
  static MCPToolError unsupportedFormat(const std::string& ext) {
    return {Kind::unsupportedFormat, "Unsupported file format: ." + ext};
  }
  static MCPToolError parseFailure(const std::string& detail) {
    return {Kind::parseFailure, "Failed to read file: " + detail};
  }
  static MCPToolError refused(const std::string& message) { return {Kind::refused, message}; }

  Kind kind() const { return kind_; }

 private:
  MCPToolError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
  Kind kind_;
};

}  // namespace zelk
