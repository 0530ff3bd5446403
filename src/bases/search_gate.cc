#include "bases/search_gate.h"

#include <dirent.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/iso_date.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace zelk::SearchGate {
namespace {

std::mutex gateMutex;  // guards gateHolds and the order of marker writes
int gateHolds = 0;

std::string stamp(const char* word) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), platform::now());
  return std::string(word) + " " + std::string(buf, end);
}

bool parsePid(const std::string& name, long& pid) {
  const char* begin = name.data();
  const char* end = begin + name.size();
  if (begin != end && *begin == '+') ++begin;
  int32_t value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) return false;
  pid = value;
  return true;
}

std::vector<std::string> splitSpaces(const std::string& text) {
  std::vector<std::string> pieces;
  std::string current;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!current.empty()) pieces.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) pieces.push_back(std::move(current));
  return pieces;
}

}  // namespace

std::string markerDirectory() { return platform::joinPath(platform::indexesDir(), ".ai-call"); }

void write(const std::string& text) {
  std::string dir = markerDirectory();
  platform::createDirectories(dir);
  platform::writeFileAtomically(platform::joinPath(dir, std::to_string(getpid())), text,
                                /*durable=*/false);
}

void began() {
  std::lock_guard lock(gateMutex);
  ++gateHolds;
  write(stamp("running"));
}

void ended() {
  std::lock_guard lock(gateMutex);
  gateHolds = gateHolds > 0 ? gateHolds - 1 : 0;
  if (gateHolds == 0) write(stamp("ended"));
}

int holds() {
  std::lock_guard lock(gateMutex);
  return gateHolds;
}

bool busy() {
  std::string dir = markerDirectory();
  DIR* listing = opendir(dir.c_str());
  if (!listing) return false;
  std::vector<std::string> names;
  while (dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name[0] != '.') names.push_back(name);
  }
  closedir(listing);
  double current = platform::now();
  for (const std::string& name : names) {
    std::string path = platform::joinPath(dir, name);
    long pid = 0;
    if (!parsePid(name, pid) || !platform::processExists(static_cast<pid_t>(pid))) {
      unlink(path.c_str());
      continue;
    }
    auto text = platform::readFile(path, 4096);
    if (!text) continue;
    auto pieces = splitSpaces(*text);
    if (pieces.size() != 2) continue;
    double t = 0;
    auto [ptr, ec] = std::from_chars(pieces[1].data(), pieces[1].data() + pieces[1].size(), t);
    if (ec != std::errc() || ptr != pieces[1].data() + pieces[1].size()) continue;
    double age = current - t;
    if (pieces[0] == "running" ? age < 600 : age < 15) return true;
  }
  return false;
}

}  // namespace zelk::SearchGate
