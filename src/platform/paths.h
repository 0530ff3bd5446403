// Where this program's shared files live on Linux: the support directory and what lies in it.
// Environment overrides are honoured; nothing here creates a directory.
#pragma once

#include <string>

namespace zelk::platform {

// $XDG_DATA_HOME/zelk, or ~/.local/share/zelk. The desktop app uses the same folder.
std::string supportDir();
// ZELK_BASES_DIR when set, otherwise supportDir(): holds bases.json and indexes/.
std::string basesDir();
// The "indexes" folder inside basesDir(); the marker directories lie in it too.
std::string indexesDir();
// <supportDir>/models (does not follow ZELK_BASES_DIR).
std::string modelsDir();
// ZELK_PREFS_PATH when set, otherwise <supportDir>/prefs.json.
std::string prefsPath();
// The user's home folder ($HOME, else the password database); empty when unknown.
std::string homeDir();

// Path helpers on plain strings.
std::string joinPath(const std::string& dir, const std::string& name);
std::string lastPathComponent(const std::string& path);
std::string parentPath(const std::string& path);

// Environment variable or nullopt-like empty string when unset.
const char* env(const char* name);

}  // namespace zelk::platform
