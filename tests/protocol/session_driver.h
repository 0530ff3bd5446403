// Runs an MCPServer over pipes in this process, or the real executable as a child, and returns
// the lines it wrote.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "protocol/mcp_server.h"

extern char** environ;

namespace zelk::testing {

inline std::vector<std::string> splitLines(const std::string& out) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t nl = out.find('\n', start);
    if (nl == std::string::npos) nl = out.size();
    lines.push_back(out.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

inline std::string drain(int fd) {
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

inline void feed(int fd, std::string input) {
  size_t done = 0;
  while (done < input.size()) {
    ssize_t n = write(fd, input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
}

inline std::vector<std::string> runSession(const std::string& input, bool negotiate = false) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return {};
  std::thread writer(feed, in[1], input);
  std::string output;
  std::thread reader([&] { output = drain(out[0]); });
  MCPServer server(negotiate);
  server.run(in[0], out[1]);
  close(out[1]);
  writer.join();
  reader.join();
  close(in[0]);
  close(out[0]);
  return splitLines(output);
}

struct ChildResult {
  int status = -1;
  std::string out;
};

// Runs argv (argv[0] the program) with input on stdin; returns its exit status and stdout.
inline ChildResult runProgram(const std::vector<std::string>& argv, const std::string& input) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  ChildResult result;
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    return result;
  }
  std::thread writer(feed, in[1], input);
  result.out = drain(out[0]);
  writer.join();
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace zelk::testing
