// Notifications: in-process observers, and system-wide posts that a desktop app can listen for.
//
// Linux has no Darwin notify centre. A system-wide post sends the name as one datagram to the
// Unix datagram socket "notify.sock" in the support directory when a listener has bound it;
// without a listener nothing observable happens. Posting never blocks and never fails a caller.
// All functions are safe to call from any thread.
#pragma once

#include <functional>
#include <string>

namespace zelk::platform {

// The desktop app's reverse-domain identifier; every system-wide name starts with it.
inline constexpr const char* kDesktopBundleID = "app.zelk.desktop";

namespace Notifier {

using Observer = std::function<void(const std::string& name)>;

// Posts name system-wide (see above). Returns true when a listener received it.
bool postSystemWide(const std::string& name);
// The socket a listener binds to receive system-wide posts.
std::string systemSocketPath();

// In-process: observers registered for name run synchronously on the posting thread.
int observe(const std::string& name, Observer observer);
void removeObserver(int token);
void post(const std::string& name);

}  // namespace Notifier
}  // namespace zelk::platform
