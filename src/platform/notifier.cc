#include "platform/notifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/paths.h"

namespace zelk::platform::Notifier {
namespace {

struct Registry {
  std::mutex mutex;  // guards observers and next
  std::map<int, std::pair<std::string, Observer>> observers;
  int next = 1;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: observers may post during exit
  return *r;
}

}  // namespace

std::string systemSocketPath() { return joinPath(supportDir(), "notify.sock"); }

bool postSystemWide(const std::string& name) {
  std::string path = systemSocketPath();
  sockaddr_un addr{};
  if (path.size() >= sizeof(addr.sun_path)) return false;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ssize_t sent = sendto(fd, name.data(), name.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  close(fd);
  return sent == static_cast<ssize_t>(name.size());
}

int observe(const std::string& name, Observer observer) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  int token = r.next++;
  r.observers.emplace(token, std::make_pair(name, std::move(observer)));
  return token;
}

void removeObserver(int token) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.observers.erase(token);
}

void post(const std::string& name) {
  std::vector<Observer> matching;
  {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& [token, entry] : r.observers) {
      if (entry.first == name) matching.push_back(entry.second);
    }
  }
  for (auto& observer : matching) observer(name);
}

}  // namespace zelk::platform::Notifier
