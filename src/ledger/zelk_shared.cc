#include "ledger/zelk_shared.h"

#include <climits>
#include <cstdlib>

#include "platform/atomic_file.h"
#include "platform/notifier.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "protocol/json_value.h"

namespace zelk::ZelkShared {
namespace {

// A settings file this large is not the desktop app's; treat it as unreadable.
constexpr size_t kMaxPrefsBytes = 16 << 20;

JSONObject settings() {
  auto text = platform::readFile(prefsURL(), kMaxPrefsBytes);
  if (!text) return {};
  try {
    JSONValue value = JSONValue::parse(*text);
    if (JSONObject* object = value.object()) return std::move(*object);
  } catch (const JSONParseError&) {
  }
  return {};
}

bool boolSetting(const char* key, bool fallback) {
  JSONObject s = settings();
  auto it = s.find(key);
  if (it == s.end() || !it->second.isBool()) return fallback;
  return *it->second.boolean();
}

}  // namespace

std::string supportDir() { return platform::supportDir(); }
std::string prefsURL() { return platform::prefsPath(); }

std::string placeholderStyle() {
  JSONObject s = settings();
  auto it = s.find("placeholderStyle");
  if (it == s.end() || !it->second.isString()) return "labeled";
  return *it->second.string();
}

std::map<std::string, std::string> sensitiveRules() {
  JSONObject s = settings();
  auto it = s.find("sensitiveRules");
  if (it == s.end() || !it->second.isObject()) return {};
  std::map<std::string, std::string> rules;
  for (const auto& [key, value] : *it->second.object()) {
    if (!value.isString()) return {};
    rules[key] = *value.string();
  }
  return rules;
}

bool reviewBeforeCopying() { return boolSetting("reviewBeforeCopying", true); }
bool highAccuracyFloor() { return boolSetting("highAccuracyFloor", false); }
bool aiOrganizeBases() { return boolSetting("aiOrganizeBases", true); }

std::vector<std::string> extensionDevIDs() {
  JSONObject s = settings();
  auto it = s.find("extensionDevIDs");
  if (it == s.end() || !it->second.isArray()) return {};
  std::vector<std::string> ids;
  for (const auto& value : *it->second.array()) {
    if (!value.isString()) return {};
    ids.push_back(*value.string());
  }
  return ids;
}

std::optional<std::string> appBundleURL(const std::string& executable) {
  std::string path = executable;
  if (char* real = realpath(executable.c_str(), nullptr)) {
    path = real;
    std::free(real);
  }
  // Walk up while the path has at least two components.
  while (path.size() > 1 && path.find('/', 1) != std::string::npos) {
    std::string last = platform::lastPathComponent(path);
    auto dot = last.rfind('.');
    if (dot != std::string::npos && dot > 0 && last.substr(dot + 1) == "app") return path;
    path = platform::parentPath(path);
  }
  return std::nullopt;
}

std::optional<std::string> appBundleURL() {
  auto self = platform::selfExecutable();
  if (!self) return std::nullopt;
  return appBundleURL(*self);
}

std::string openRequestName() {
  // Linux has no bundle to read an identifier from: the desktop app's standard one stands.
  return std::string(platform::kDesktopBundleID) + ".open-window";
}

}  // namespace zelk::ZelkShared
