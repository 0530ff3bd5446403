#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace zelk::platform {

const char* env(const char* name) { return std::getenv(name); }

std::string homeDir() {
  if (const char* home = env("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string lastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string parentPath(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string supportDir() {
  if (const char* xdg = env("XDG_DATA_HOME"); xdg && *xdg && xdg[0] == '/') {
    return joinPath(xdg, "zelk");
  }
  return joinPath(joinPath(homeDir(), ".local/share"), "zelk");
}

std::string basesDir() {
  if (const char* dir = env("ZELK_BASES_DIR"); dir && *dir) return dir;
  return supportDir();
}

std::string indexesDir() { return joinPath(basesDir(), "indexes"); }

std::string modelsDir() { return joinPath(supportDir(), "models"); }

std::string prefsPath() {
  if (const char* path = env("ZELK_PREFS_PATH"); path && *path) return path;
  return joinPath(supportDir(), "prefs.json");
}

}  // namespace zelk::platform
