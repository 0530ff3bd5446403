// The settings the desktop app writes to prefs.json, and the shared locations. Every getter reads
// the file afresh, so a change in the app takes effect at the next call. Callable from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zelk::ZelkShared {

std::string supportDir();
std::string prefsURL();

std::string placeholderStyle();                       // default "labeled"
std::map<std::string, std::string> sensitiveRules();  // default empty
bool reviewBeforeCopying();                           // default true
bool highAccuracyFloor();                             // default false
bool aiOrganizeBases();                               // default true
std::vector<std::string> extensionDevIDs();           // default empty

// The ".app" bundle around this program's executable, if any.
std::optional<std::string> appBundleURL();
// Like appBundleURL, starting from a given executable path (resolved first).
std::optional<std::string> appBundleURL(const std::string& executable);
// The desktop app's bundle identifier followed by ".open-window".
std::string openRequestName();

}  // namespace zelk::ZelkShared
