// Cold start: time from starting build/zelk-mcp to reading its initialize response, median of 20,
// against starting /bin/true and waiting for it in the same run.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double medianMs(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double startTrue() {
  auto start = Clock::now();
  pid_t pid;
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) std::exit(1);
  waitpid(pid, nullptr, 0);
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double startZelk(const char* binary) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) std::exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  char* argv[] = {const_cast<char*>(binary), nullptr};
  std::string request =
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"clientInfo":{"name":"bench"}}})"
      "\n";
  auto start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, binary, &actions, nullptr, argv, environ) != 0) std::exit(1);
  close(in[0]);
  close(out[1]);
  if (write(in[1], request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    std::exit(1);
  }
  char buf[65536];
  std::string got;
  while (got.find('\n') == std::string::npos) {
    ssize_t n = read(out[0], buf, sizeof(buf));
    if (n <= 0) std::exit(1);
    got.append(buf, static_cast<size_t>(n));
  }
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  close(in[1]);
  close(out[0]);
  waitpid(pid, nullptr, 0);
  posix_spawn_file_actions_destroy(&actions);
  return ms;
}

}  // namespace

int main() {
  auto home = std::filesystem::temp_directory_path() / ("zelk-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  const int runs = 20;
  std::vector<double> zelk, baseline;
  startZelk(ZELK_BINARY);  // warm the page cache once
  startTrue();
  for (int i = 0; i < runs; ++i) {
    zelk.push_back(startZelk(ZELK_BINARY));
    baseline.push_back(startTrue());
  }
  double z = medianMs(zelk), t = medianMs(baseline);
  std::printf("cold start to initialize response: median %.2f ms over %d runs\n", z, runs);
  std::printf("/bin/true start and exit:          median %.2f ms over %d runs\n", t, runs);
  std::printf("ratio: %.1fx /bin/true (target: under 10 ms and at most 10x)\n", z / t);
  std::filesystem::remove_all(home);
  return 0;
}
