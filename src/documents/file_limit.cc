#include "documents/file_limit.h"

#include <sys/stat.h>

#include "documents/document_format.h"
#include "platform/unicode.h"

namespace zelk::FileLimit {

int limitMB(const std::string& path) {
  return platform::lowercased(DocumentFormats::pathExtension(path)) == "xlsx" ? 50 : 100;
}

std::optional<Excess> exceeds(const std::string& path) {
  struct stat st {};
  int64_t size = ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  int limit = limitMB(path);
  if (size > static_cast<int64_t>(limit) * kMB) return Excess{size, limit};
  return std::nullopt;
}

std::string reason(const Excess& excess) {
  return std::to_string(excess.size / kMB) + " MB, over zelk's " + std::to_string(excess.limit) +
         " MB limit";
}

}  // namespace zelk::FileLimit
