// Read-only access to the entries of a zip package (Office files) through libzip, with a budget
// on the bytes one read may unpack so that a small package can't inflate without end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct zip;

namespace zelk::documents {

// How many inflated bytes one document read may still unpack, over all its entries.
class UnpackBudget {
 public:
  explicit UnpackBudget(int limitMB)
      : limitMB_(limitMB), remaining_(static_cast<uint64_t>(limitMB) * 1048576) {}
  int limitMB() const { return limitMB_; }
  // Takes n bytes; false when that goes past the limit.
  bool take(uint64_t n) {
    if (n > remaining_) return false;
    remaining_ -= n;
    return true;
  }

 private:
  int limitMB_;
  uint64_t remaining_;
};

// Unpacked-size limits: documents and presentations are read whole; workbooks are larger XML
// for the same compressed size and are read one sheet at a time.
inline constexpr int kDocumentUnpackLimitMB = 100;
inline constexpr int kWorkbookUnpackLimitMB = 1000;

// Not thread-safe: one package per reading thread.
class ZipPackage {
 public:
  // nullptr when the file can't be opened or is not a zip archive.
  static std::unique_ptr<ZipPackage> openFile(const std::string& path);
  // A package over a copy of the bytes; nullptr when they are not a zip archive.
  static std::unique_ptr<ZipPackage> openBytes(std::string_view bytes);
  ~ZipPackage();
  ZipPackage(const ZipPackage&) = delete;
  ZipPackage& operator=(const ZipPackage&) = delete;

  // Entry names in the archive's order.
  std::vector<std::string> entryNames() const;

  enum class Read { ok, stopped, failed };
  // Streams the named entry's inflated bytes in chunks; the sink returns false to stop.
  // failed: no such entry, encrypted, corrupt data or a bad checksum. Throws
  // DocumentParser::ParseError when the budget runs out.
  Read stream(const std::string& name, UnpackBudget& budget,
              const std::function<bool(std::string_view)>& sink);
  // The whole entry, or nullopt when it can't be read. Throws like stream().
  std::optional<std::string> read(const std::string& name, UnpackBudget& budget);

 private:
  ZipPackage(zip* archive, std::unique_ptr<std::string> bytes)
      : archive_(archive), bytes_(std::move(bytes)) {}
  zip* archive_;
  std::unique_ptr<std::string> bytes_;  // backs a package opened over memory
};

// The failure of a read that went past its budget, naming the entry and the limit.
[[noreturn]] void throwUnpackLimit(const std::string& entry, int limitMB);

}  // namespace zelk::documents
