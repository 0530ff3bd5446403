#include "documents/read_service.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/notifier.h"
#include "platform/paths.h"
#include "platform/unicode.h"
#include "platform/unique_fd.h"
#include "protocol/json_value.h"

extern char** environ;

namespace zelk {
namespace {

using Clock = std::chrono::steady_clock;

// A reply line longer than this is no answer of the app's: it is dropped instead of growing.
constexpr size_t kMaxReplyBytes = 1 << 20;
constexpr auto kRetryPause = std::chrono::milliseconds(250);

using FD = platform::UniqueFd;

// A stream socket connected to `path` (cut to 103 bytes, as the app expects), or -1. The
// connect itself never blocks: a listener with a full backlog counts as not answering.
int connectTo(const std::string& path) {
  FD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), std::min<size_t>(path.size(), 103));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return -1;
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
  return fd.release();
}

bool writeAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    // MSG_NOSIGNAL: a peer that went away fails the write instead of killing the process.
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// The bytes before the first line feed, once one arrives within `timeoutSeconds`; nothing on
// time-out, end of stream, error, invalid UTF-8 or an over-long line.
std::optional<std::string> readLine(int fd, double timeoutSeconds) {
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(timeoutSeconds));
  std::string received;
  char buf[4096];
  while (received.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 1) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    received.append(buf, static_cast<size_t>(n));
    if (received.size() > kMaxReplyBytes && received.find('\n') > kMaxReplyBytes) {
      return std::nullopt;
    }
  }
  received.resize(received.find('\n'));
  if (!platform::isValidUtf8(received)) return std::nullopt;
  return received;
}

// Starts `xdg-open app.zelk.desktop:read-service` detached (its own session, standard streams
// on /dev/null). The process id, or nothing when there is no xdg-open to run.
std::optional<pid_t> launchApp() {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::string target = std::string(platform::kDesktopBundleID) + ":read-service";
  char* argv[] = {const_cast<char*>("xdg-open"), target.data(), nullptr};
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, "xdg-open", &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return std::nullopt;
  return pid;
}

// Whether the launcher has ended in failure (so that waiting for the app is pointless); reaps
// it once it has ended.
bool launcherFailed(pid_t pid, bool& reaped) {
  if (reaped) return false;
  int status = 0;
  pid_t r = ::waitpid(pid, &status, WNOHANG);
  if (r == 0) return false;
  reaped = true;
  return r == pid && !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A launcher still running (xdg-open may wait for the app it started) is reaped by a thread
// of its own, so that it never lingers as a zombie.
void reapLater(pid_t pid) {
  std::thread([pid] {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

}  // namespace

std::string ReadService::socketPath() {
  return platform::joinPath(platform::supportDir(), "read.sock");
}

std::optional<int> ReadService::connectOrLaunch(double waitSeconds) {
  const std::string path = socketPath();
  if (int fd = connectTo(path); fd >= 0) return fd;
  std::optional<pid_t> launcher = launchApp();
  if (!launcher) return std::nullopt;
  bool reaped = false;
  std::optional<int> socket;
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(waitSeconds));
  while (Clock::now() < deadline) {
    if (int fd = connectTo(path); fd >= 0) {
      socket = fd;
      break;
    }
    if (launcherFailed(*launcher, reaped)) break;
    std::this_thread::sleep_for(kRetryPause);
  }
  launcherFailed(*launcher, reaped);
  if (!reaped) reapLater(*launcher);
  return socket;
}

std::optional<std::string> ReadService::borrow(const std::string& path, Waits waits) {
  // A path that is not UTF-8 cannot be named in JSON without changing it.
  if (!platform::isValidUtf8(path)) return std::nullopt;
  std::optional<int> connected = connectOrLaunch(waits.connectSeconds);
  if (!connected) return std::nullopt;
  FD socket(*connected);
  // A send into a peer that never reads must not block for ever either.
  timeval sendLimit{static_cast<time_t>(std::max(1.0, waits.connectSeconds)), 0};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  std::string request = JSONValue(JSONObject{{"path", JSONValue(path)}}).encode() + "\n";
  if (!writeAll(socket.get(), request)) return std::nullopt;
  std::optional<std::string> line = readLine(socket.get(), waits.replySeconds);
  if (!line) return std::nullopt;
  std::optional<JSONValue> reply;
  try {
    reply = JSONValue::parse(*line);
  } catch (const JSONParseError&) {
    return std::nullopt;
  }
  const JSONValue* copy = reply->find("path");
  if (!copy || !copy->string()) return std::nullopt;
  const std::string& copyPath = *copy->string();
  // The caller deletes what comes back: it must be a file of its own, not the user's file.
  struct stat copyInfo, originalInfo;
  if (copyPath.empty() || copyPath[0] != '/' || ::lstat(copyPath.c_str(), &copyInfo) != 0 ||
      !S_ISREG(copyInfo.st_mode)) {
    return std::nullopt;
  }
  if (::stat(path.c_str(), &originalInfo) == 0 && originalInfo.st_dev == copyInfo.st_dev &&
      originalInfo.st_ino == copyInfo.st_ino) {
    return std::nullopt;
  }
  return copyPath;
}

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
