// The file attributes that key the table caches: the standardized path, the modification time
// and the size.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

namespace zelk::tables_internal {

struct FileState {
  std::optional<double> modified;  // seconds since 1970, with the fraction
  std::optional<long long> size;   // bytes
};

inline FileState fileState(const std::filesystem::path& url) {
  struct stat st;
  if (::stat(url.c_str(), &st) != 0) return {};
  return {static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9,
          static_cast<long long>(st.st_size)};
}

// Absolute, with "." and ".." components resolved lexically (symbolic links are kept) and no
// trailing slash.
inline std::string standardizedPath(const std::filesystem::path& url) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(url, ec);
  if (ec) abs = url;
  std::string s = abs.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace zelk::tables_internal
