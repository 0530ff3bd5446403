// The read-service client: the "read.sock" exchange with a fake app served by the test,
// starting the app, bounded waits, and parseFile reading a borrowed copy of a refused file.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "documents/document_format.h"
#include "documents/parse_file.h"
#include "documents/read_service.h"
#include "protocol/json_value.h"
#include "protocol/mcp_tool_error.h"
#include "test_support.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void writeFile(const std::string& path, const std::string& bytes, fs::perms perms) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  fs::permissions(path, perms);
}

// A stand-in for the desktop app's read service: listens on `socketPath` (once `startWhen`
// exists, when given), takes one connection, records the request line and writes what `answer`
// returns. Everything it waits for is bounded, so a broken client fails the test instead of
// hanging it.
class FakeReadService {
 public:
  using Answer = std::function<std::string(const std::string& request)>;

  FakeReadService(std::string socketPath, Answer answer, std::string startWhen = "")
      : path_(std::move(socketPath)), answer_(std::move(answer)), startWhen_(std::move(startWhen)) {
    if (startWhen_.empty()) listen();
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeReadService() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0) ::close(listener_);
    std::error_code ec;
    fs::remove(path_, ec);
  }

  std::string request() {
    std::lock_guard<std::mutex> hold(lock_);
    return request_;
  }
  bool served() const { return served_; }

 private:
  void listen() {
    fs::create_directories(fs::path(path_).parent_path());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener_, 4), 0);
    // Another user (the dropped-privilege child below) must be able to connect.
    ::chmod(path_.c_str(), 0777);
  }

  bool waitFor(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
  }

  void serve() {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    if (!startWhen_.empty()) {
      while (!fs::exists(startWhen_)) {
        if (stop_ || Clock::now() > deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      listen();
    }
    while (!waitFor(listener_, 50)) {
      if (stop_ || Clock::now() > deadline) return;
    }
    int conn = ::accept(listener_, nullptr, nullptr);
    if (conn < 0) return;
    std::string got;
    char buf[512];
    while (got.find('\n') == std::string::npos && !stop_ && Clock::now() < deadline) {
      if (!waitFor(conn, 50)) continue;
      ssize_t n = ::recv(conn, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      request_ = got;
    }
    std::string reply = answer_(got);
    if (reply == kHold) {
      while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } else {
      size_t sent = 0;
      while (sent < reply.size()) {
        ssize_t n = ::send(conn, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    }
    served_ = true;
    ::close(conn);
  }

 public:
  // An answer that keeps the connection open without replying.
  static inline const std::string kHold = "\x01hold";

 private:
  std::string path_;
  Answer answer_;
  std::string startWhen_;
  int listener_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false}, served_{false};
  std::mutex lock_;
  std::string request_;
};

std::string pathReply(const std::string& copy) {
  return JSONValue(JSONObject{{"path", JSONValue(copy)}, {"source", "app"}}).encode() + "\n";
}

class ReadServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No xdg-open is found unless a test puts one on PATH.
    fs::create_directories(bin_);
    path_.emplace("PATH", bin_);
    user_ = home_.dir().file("Desktop report \"final\".pdf");
    writeFile(user_, "original", fs::perms::owner_read | fs::perms::owner_write);
    copy_ = home_.dir().file("copy-7A1F.pdf");
    writeFile(copy_, "copied", fs::perms::owner_read | fs::perms::owner_write);
  }

  // A fake xdg-open that records its arguments in `marker` and exits with `status`.
  void installLauncher(int status, const std::string& marker) {
    std::string script = bin_ + "/xdg-open";
    std::ofstream(script) << "#!/bin/sh\necho \"$@\" > '" << marker << ".tmp'\n/bin/mv '" << marker
                          << ".tmp' '" << marker << "'\nexit " << status << "\n";
    fs::permissions(script, fs::perms::owner_all);
  }

  testing::IsolatedHome home_;
  std::string bin_ = home_.dir().file("bin");
  std::optional<testing::ScopedEnv> path_;
  std::string user_, copy_;
  ReadService::Waits quick_{2, 5};
};

TEST_F(ReadServiceTest, SendsThePathAsOneJSONLineAndReturnsTheCopy) {
  FakeReadService app(ReadService::socketPath(), [&](const std::string&) { return pathReply(copy_); });
  EXPECT_EQ(ReadService::borrow(user_, quick_), copy_);
  std::string escaped;
  for (char c : user_) {
    if (c == '/') escaped += "\\/";
    else if (c == '"') escaped += "\\\"";
    else escaped += c;
  }
  EXPECT_EQ(app.request(), "{\"path\":\"" + escaped + "\"}\n");
  EXPECT_EQ(ReadService::socketPath(), home_.supportDir() + "/read.sock");
}

TEST_F(ReadServiceTest, RepliesThatNameNoUsableCopyGiveNothing) {
  std::string folder = home_.dir().file("copies");
  fs::create_directories(folder);
  struct Case {
    const char* what;
    std::string reply;
  };
  const Case cases[] = {
      {"no path member", "{\"error\":\"not in a base\"}\n"},
      {"path is not text", "{\"path\":42}\n"},
      {"not JSON", "path=/tmp/x\n"},
      {"a JSON array", "[\"" + copy_ + "\"]\n"},
      {"an empty line", "\n"},
      {"no line feed before the end", pathReply(copy_).substr(0, 20)},
      {"closed without a reply", ""},
      {"a relative path", pathReply("copy-7A1F.pdf")},
      {"an empty path", pathReply("")},
      {"a folder", pathReply(folder)},
      {"a missing file", pathReply(home_.dir().file("gone.pdf"))},
      {"the user's own file", pathReply(user_)},
      {"invalid UTF-8", "{\"path\":\"/tmp/\xff\"}\n"},
      {"a line over 1 MiB", std::string(2 << 20, ' ') + pathReply(copy_)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeReadService app(ReadService::socketPath(), [&](const std::string&) { return c.reply; });
    EXPECT_EQ(ReadService::borrow(user_, quick_), std::nullopt);
  }
  // Nothing was deleted or changed on the way.
  EXPECT_TRUE(fs::exists(user_));
  EXPECT_TRUE(fs::exists(copy_));
}

TEST_F(ReadServiceTest, GivesUpWhenNoReplyComesInTime) {
  FakeReadService app(ReadService::socketPath(),
                      [](const std::string&) { return FakeReadService::kHold; });
  EXPECT_EQ(ReadService::borrow(user_, {2, 0.5}), std::nullopt);
  EXPECT_NE(app.request().find("\"path\""), std::string::npos);
}

TEST_F(ReadServiceTest, StartsTheAppWhenNothingListensAndWaitsForItsSocket) {
  std::string marker = home_.dir().file("launched");
  installLauncher(0, marker);
  FakeReadService app(ReadService::socketPath(), [&](const std::string&) { return pathReply(copy_); },
                      marker);
  EXPECT_EQ(ReadService::borrow(user_, {20, 5}), copy_);
  std::ifstream in(marker);
  std::string args;
  std::getline(in, args);
  EXPECT_EQ(args, "app.zelk.desktop:read-service");
}

TEST_F(ReadServiceTest, NoAppToStartGivesNothing) {
  // No xdg-open at all: nothing to wait for.
  EXPECT_EQ(ReadService::connectOrLaunch(20), std::nullopt);
  EXPECT_EQ(ReadService::borrow(user_, {20, 5}), std::nullopt);

  // xdg-open that cannot open the app: given up on as soon as it says so, long before the wait.
  std::string marker = home_.dir().file("launched");
  installLauncher(4, marker);
  auto start = Clock::now();
  EXPECT_EQ(ReadService::borrow(user_, {60, 5}), std::nullopt);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(45));
  EXPECT_TRUE(fs::exists(marker));
}

TEST(BlockedMessage, NamesTheFileAndTheIndexedSearch) {
  EXPECT_EQ(MCPTools::blockedMessage("/home/ana/Desktop/report.pdf"),
            "zelk can't open report.pdf: permission denied for this user account. smart_select "
            "still searches it if it is in a base zelk has indexed.");
}

TEST(CanOpen, OnlyPermissionErrorsSayNo) {
  testing::TempDir dir;
  writeFile(dir.file("open.txt"), "x", fs::perms::owner_read);
  EXPECT_TRUE(MCPTools::canOpen(dir.file("open.txt")));
  // A missing file is left to the reader, which reports its own error.
  EXPECT_TRUE(MCPTools::canOpen(dir.file("missing.txt")));
}

// A child process that may not read files of mode 000 (it gives up root for the "nobody"
// account when the tests run as root). It runs `body` once a byte arrives on `ready`, so that
// the fork happens before the test starts any thread, and prints what `body` returns.
struct RefusedChild {
  pid_t pid = -1;
  int out = -1;

  RefusedChild(const std::function<std::string()>& body, int ready) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      char go;
      if (::read(ready, &go, 1) != 1) ::_exit(2);
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
      std::string text = body();
      if (::write(fds[1], text.data(), text.size()) < 0) ::_exit(4);
      ::_exit(0);
    }
    ::close(fds[1]);
    out = fds[0];
  }

  // What the child printed, once it has ended.
  std::string finish() {
    if (pid < 0) return "fork failed";
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    ::close(out);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return got;
  }
};

std::string readThroughParseFile(const std::string& path) {
  try {
    std::string canOpen = MCPTools::canOpen(path) ? "open " : "refused ";
    return canOpen + MCPTools::parseFile(path, DocumentFormat::txt);
  } catch (const MCPToolError& e) {
    return std::string(e.kind() == MCPToolError::Kind::refused ? "refusal: " : "error: ") +
           e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
}

class ParseFileThroughTheApp : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every folder on the way is open to the child; the user's file is not.
    for (const std::string& dir : {home_.dir().path(), home_.supportDir(), copies_}) {
      fs::create_directories(dir);
      fs::permissions(dir, fs::perms::all);
    }
    fs::permissions(home_.dir().path() + "/data", fs::perms::all);
    writeFile(file_, "the user's words", fs::perms::none);
    writeFile(copy_, "the borrowed copy's words\n",
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ASSERT_EQ(::pipe(ready_), 0);
  }
  void TearDown() override {
    ::close(ready_[0]);
    ::close(ready_[1]);
  }
  void go() { ASSERT_EQ(::write(ready_[1], "g", 1), 1); }

  testing::IsolatedHome home_;
  testing::ScopedEnv path_{"PATH", home_.dir().file("no-bin")};
  std::string copies_ = home_.dir().file("copies");
  std::string file_ = home_.dir().file("report.txt");
  std::string copy_ = copies_ + "/report-copy.txt";
  int ready_[2];
};

TEST_F(ParseFileThroughTheApp, ReadsTheBorrowedCopyAndDeletesIt) {
  RefusedChild child([&] { return readThroughParseFile(file_); }, ready_[0]);
  std::string result;
  {
    FakeReadService app(ReadService::socketPath(),
                        [&](const std::string&) { return pathReply(copy_); });
    go();
    result = child.finish();
    EXPECT_TRUE(app.served());
  }
  EXPECT_EQ(result, "refused the borrowed copy's words\n");
  EXPECT_FALSE(fs::exists(copy_));
  EXPECT_TRUE(fs::exists(file_));
}

TEST_F(ParseFileThroughTheApp, RefusesWithTheBlockedMessageWhenNoCopyComes) {
  RefusedChild child([&] { return readThroughParseFile(file_); }, ready_[0]);
  go();
  EXPECT_EQ(child.finish(), "refusal: " + MCPTools::blockedMessage(file_));
}

}  // namespace
}  // namespace zelk
