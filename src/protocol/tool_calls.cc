#include "protocol/tool_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

#include "platform/atomic_file.h"
#include "platform/notifier.h"
#include "platform/paths.h"

namespace zelk::ToolCalls {
namespace {

std::mutex callsMutex;  // guards callCount and the marker file
int callCount = 0;

void notifyChanged() {
  platform::Notifier::postSystemWide(std::string(platform::kDesktopBundleID) + ".calls-changed");
}

}  // namespace

std::string markerPath() {
  return platform::joinPath(platform::joinPath(platform::indexesDir(), ".ai-calls-now"),
                            std::to_string(getpid()));
}

void began() {
  std::lock_guard lock(callsMutex);
  if (callCount++ == 0) {
    std::string path = markerPath();
    platform::createDirectories(platform::parentPath(path));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
    notifyChanged();
  }
}

void ended() {
  std::lock_guard lock(callsMutex);
  if (callCount <= 1) {
    callCount = 0;
    unlink(markerPath().c_str());
    notifyChanged();
  } else {
    --callCount;
  }
}

int running() {
  std::lock_guard lock(callsMutex);
  return callCount;
}

}  // namespace zelk::ToolCalls
