// Reading a file that this process may not open, through the desktop app's read service: one
// exchange of JSON lines over the Unix-domain socket "read.sock" in the support directory.
#pragma once

#include <optional>
#include <string>

namespace zelk {

namespace ReadService {

// How long borrow waits: for the app's socket to accept (after starting the app) and for the
// reply line.
struct Waits {
  double connectSeconds = 12;
  double replySeconds = 120;
};

// The path of a readable copy made by the app, or nullopt: no socket even after starting the
// app, a failed send, no reply line in time, or a reply that is not a JSON object with a text
// member "path". A reply naming no absolute path of a regular file, or naming the user's file
// itself, gives nullopt too, since the caller deletes what comes back. The caller reads the copy
// and deletes it. Blocks the calling thread for at most about waits.connectSeconds +
// waits.replySeconds. Any thread may call it; each call uses its own connection.
std::optional<std::string> borrow(const std::string& path, Waits waits = {});

// A connected stream socket to the read service (the caller closes it), or nullopt. When
// nothing accepts at once, the desktop app is started in the background with
// `xdg-open app.zelk.desktop:read-service` and the socket is tried every 0.25 seconds for
// `waitSeconds`. Without xdg-open on PATH, or when it reports that it could not open the app,
// gives nullopt at once.
std::optional<int> connectOrLaunch(double waitSeconds);

// <support dir>/read.sock.
std::string socketPath();

}  // namespace ReadService

namespace MCPTools {
// False only when opening the file read-only fails with EPERM or EACCES.
bool canOpen(const std::string& path);
// The refusal for a file no copy could be had of (the Linux text: there is no privacy layer
// between an AI app and the user's files here).
std::string blockedMessage(const std::string& path);
}  // namespace MCPTools

}  // namespace zelk
