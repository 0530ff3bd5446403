#include "documents/internal/zip_package.h"

#include <zip.h>

#include "documents/document_parser.h"

namespace zelk::documents {

void throwUnpackLimit(const std::string& entry, int limitMB) {
  throw DocumentParser::ParseError::parseFailure(
      entry + " unpacks past zelk's " + std::to_string(limitMB) +
      " MB limit for the unpacked parts of one document");
}

std::unique_ptr<ZipPackage> ZipPackage::openFile(const std::string& path) {
  int error = 0;
  zip* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (!archive) return nullptr;
  return std::unique_ptr<ZipPackage>(new ZipPackage(archive, nullptr));
}

std::unique_ptr<ZipPackage> ZipPackage::openBytes(std::string_view bytes) {
  auto copy = std::make_unique<std::string>(bytes);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(copy->data(), copy->size(), 0, &error);
  if (!source) {
    zip_error_fini(&error);
    return nullptr;
  }
  zip* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
  zip_error_fini(&error);
  if (!archive) {
    zip_source_free(source);
    return nullptr;
  }
  return std::unique_ptr<ZipPackage>(new ZipPackage(archive, std::move(copy)));
}

ZipPackage::~ZipPackage() { zip_discard(archive_); }

std::vector<std::string> ZipPackage::entryNames() const {
  std::vector<std::string> names;
  zip_int64_t count = zip_get_num_entries(archive_, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    if (const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(i), 0)) {
      names.emplace_back(name);
    }
  }
  return names;
}

ZipPackage::Read ZipPackage::stream(const std::string& name, UnpackBudget& budget,
                                    const std::function<bool(std::string_view)>& sink) {
  zip_int64_t index = zip_name_locate(archive_, name.c_str(), 0);
  if (index < 0) return Read::failed;
  zip_file_t* file = zip_fopen_index(archive_, static_cast<zip_uint64_t>(index), 0);
  if (!file) return Read::failed;
  char buffer[65536];
  Read result = Read::ok;
  for (;;) {
    zip_int64_t n = zip_fread(file, buffer, sizeof buffer);
    if (n < 0) {
      result = Read::failed;
      break;
    }
    if (n == 0) break;
    if (!budget.take(static_cast<uint64_t>(n))) {
      zip_fclose(file);
      throwUnpackLimit(name, budget.limitMB());
    }
    if (!sink(std::string_view(buffer, static_cast<size_t>(n)))) {
      result = Read::stopped;
      break;
    }
  }
  zip_fclose(file);
  return result;
}

std::optional<std::string> ZipPackage::read(const std::string& name, UnpackBudget& budget) {
  std::string data;
  Read r = stream(name, budget, [&](std::string_view chunk) {
    data.append(chunk);
    return true;
  });
  if (r != Read::ok) return std::nullopt;
  return data;
}

}  // namespace zelk::documents
