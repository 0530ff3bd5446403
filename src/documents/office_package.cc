#include "documents/office_package.h"

#include <filesystem>

#include "documents/document_format.h"
#include "documents/internal/zip_package.h"
#include "platform/uuid.h"

namespace zelk {

SafeURL::~SafeURL() {
  if (copy_) {
    std::error_code ec;
    std::filesystem::remove(*copy_, ec);
  }
}

SafeURL PPTXParser::makeSafeURL(const std::string& path) {
  if (path.find_first_of("[]*?") == std::string::npos) return SafeURL(path, std::nullopt);
  std::filesystem::path copy = std::filesystem::temp_directory_path() /
                               ("zelk_" + platform::randomUUID() + "." +
                                DocumentFormats::pathExtension(path));
  std::filesystem::copy_file(path, copy);
  return SafeURL(copy.string(), copy.string());
}

std::vector<std::string> PPTXParser::listZipEntries(const std::string& path) {
  auto package = documents::ZipPackage::openFile(path);
  if (!package) return {};
  return package->entryNames();
}

}  // namespace zelk
