#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

namespace zelk::platform {

std::optional<pid_t> parentProcess(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  if (!in) return std::nullopt;
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name is in parentheses and may itself hold spaces or ')'.
  auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(stat.substr(close + 1));
  std::string state;
  long long ppid = -1;
  if (!(rest >> state >> ppid) || ppid < 0) return std::nullopt;
  return static_cast<pid_t>(ppid);
}

std::optional<std::string> executablePath(pid_t pid, size_t maxBytes) {
  std::vector<char> buf(maxBytes + 1);
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t n = readlink(link.c_str(), buf.data(), maxBytes);
  if (n <= 0) return std::nullopt;
  return std::string(buf.data(), static_cast<size_t>(n));
}

std::optional<std::string> selfExecutable() { return executablePath(getpid()); }

bool processExists(pid_t pid) {
  if (pid <= 0) return false;
  if (kill(pid, 0) == 0) return true;
  return errno == EPERM;
}

unsigned long long physicalMemory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || size <= 0) return 0;
  return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(size);
}

}  // namespace zelk::platform
