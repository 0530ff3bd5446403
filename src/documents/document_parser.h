// The record of one read file and the full read path that returns it (the fidelity audit's).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "documents/document_format.h"

namespace zelk {

struct Document {
  std::string url;       // the file read
  std::string filename;  // its last path component
  DocumentFormat format;
  std::string rawText;   // the reader's output, not yet optimized
  int64_t fileSize = 0;  // bytes from the file's attributes
};

namespace DocumentParser {

// The readers' failures; what() is the text the user sees.
class ParseError : public std::runtime_error {
 public:
  enum class Kind { unsupportedFormat, parseFailure, fileTooLarge };

  // ".{extension} files are not supported."
  static ParseError unsupportedFormat(const std::string& extension);
  // "Could not read file: {message}"
  static ParseError parseFailure(const std::string& message);
  // "This file is {FileLimit::reason}."
  static ParseError fileTooLarge(int64_t size, int limit);

  Kind kind() const { return kind_; }
  // The payload: the extension, the reader's message, or empty for fileTooLarge.
  const std::string& detail() const { return detail_; }
  int64_t size() const { return size_; }
  int limit() const { return limit_; }

 private:
  ParseError(Kind kind, const std::string& text, std::string detail, int64_t size = 0,
             int limit = 0)
      : std::runtime_error(text), kind_(kind), detail_(std::move(detail)), size_(size),
        limit_(limit) {}
  Kind kind_;
  std::string detail_;
  int64_t size_;
  int limit_;
};

// Reads the file into a Document: size limit first, then the format, then the reader.
// Throws std::system_error when the attributes can't be read, ParseError, or the reader's error.
Document parse(const std::string& path);

}  // namespace DocumentParser
}  // namespace zelk
