// Helpers shared by the test programs: temporary folders and environment overrides.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

namespace zelk::testing {

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zelk-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the object's lifetime, then restores the old value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_.c_str(), old_->c_str(), 1);
    else unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Points the support directory and every ZELK_ override at a temporary folder.
class IsolatedHome {
 public:
  IsolatedHome()
      : home_("HOME", dir_.path()),
        xdg_("XDG_DATA_HOME", dir_.path() + "/data"),
        bases_("ZELK_BASES_DIR", std::nullopt),
        prefs_("ZELK_PREFS_PATH", std::nullopt),
        ledger_("ZELK_LEDGER_PATH", std::nullopt) {}
  std::string supportDir() const { return dir_.path() + "/data/zelk"; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  ScopedEnv home_, xdg_, bases_, prefs_, ledger_;
};

}  // namespace zelk::testing
