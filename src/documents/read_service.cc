#include "documents/read_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace zelk {

std::optional<std::string> ReadService::borrow(const std::string&) { return std::nullopt; }

bool MCPTools::canOpen(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  return errno != EPERM && errno != EACCES;
}

std::string MCPTools::blockedMessage(const std::string& path) {
  return "zelk can't open " + platform::lastPathComponent(path) +
         ": permission denied for this user account. smart_select still searches it if it is in "
         "a base zelk has indexed.";
}

}  // namespace zelk
