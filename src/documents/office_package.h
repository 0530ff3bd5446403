// Access to Office packages shared by the DOCX, PPTX and XLSX readers and the table reader:
// the safe copy of oddly named files and the listing of a package's entries.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelk {

// A path to read and, when the file had to be copied first, the copy, which is removed when
// this object goes (errors while removing are ignored).
class SafeURL {
 public:
  SafeURL(std::string path, std::optional<std::string> copy)
      : path_(std::move(path)), copy_(std::move(copy)) {}
  ~SafeURL();
  SafeURL(SafeURL&& other) noexcept : path_(std::move(other.path_)), copy_(std::move(other.copy_)) {
    other.copy_.reset();
  }
  SafeURL(const SafeURL&) = delete;
  SafeURL& operator=(const SafeURL&) = delete;
  SafeURL& operator=(SafeURL&&) = delete;

  const std::string& path() const { return path_; }
  const std::optional<std::string>& copy() const { return copy_; }

 private:
  std::string path_;
  std::optional<std::string> copy_;
};

namespace PPTXParser {
// A path containing "[", "]", "*" or "?" is copied to the temporary directory as
// "zelk_{UUID}.{extension}" and the copy is read; other files are read in place. Throws
// std::filesystem::filesystem_error when the copy can't be made.
SafeURL makeSafeURL(const std::string& path);
// The package's entry names; empty when it is not a readable zip archive.
std::vector<std::string> listZipEntries(const std::string& path);
}  // namespace PPTXParser

}  // namespace zelk
