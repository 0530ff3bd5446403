#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/paths.h"

namespace zelk::platform {

bool createDirectories(const std::string& path) {
  if (path.empty()) return false;
  struct stat st{};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string parent = parentPath(path);
  if (parent != path && parent != "." && parent != "/") createDirectories(parent);
  if (mkdir(path.c_str(), 0755) == 0) return true;
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeFileAtomically(const std::string& path, std::string_view data, bool durable) {
  std::string tmpl = joinPath(parentPath(path), "." + lastPathComponent(path) + ".XXXXXX");
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  size_t written = 0;
  while (ok && written < data.size()) {
    ssize_t n = write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else written += static_cast<size_t>(n);
  }
  if (ok) ok = fchmod(fd, 0644) == 0 && (!durable || fsync(fd) == 0);
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(name.data(), path.c_str()) == 0;
  if (!ok) unlink(name.data());
  return ok;
}

std::optional<std::string> readFile(const std::string& path, size_t maxBytes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st{};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
      (st.st_size > 0 && static_cast<unsigned long long>(st.st_size) > maxBytes)) {
    close(fd);
    return std::nullopt;
  }
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    if (out.size() + static_cast<size_t>(n) > maxBytes) {
      close(fd);
      return std::nullopt;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

}  // namespace zelk::platform
