// The store of bases read from bases.json, and the listing of a base's document files with the
// display names the tools show. `bases()` returns a copy and may be called from any thread;
// reload() replaces the list as a whole under the lock. resolve() touches no shared state.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bases/base.h"
#include "bases/skipped_file.h"

namespace zelk {

class BaseManager {
 public:
  struct ResolvedFile {
    std::string url;   // absolute path
    std::string name;  // display name
  };
  struct Resolution {
    std::vector<ResolvedFile> files;
    std::vector<SkippedFile> skipped;
    std::vector<std::string> excluded;
  };

  // Folder names never entered.
  static const std::set<std::string>& ignoredFolders();

  // The one instance, over the bases directory (ZELK_BASES_DIR or the support directory).
  static BaseManager& shared();
  // An instance over another directory (tests and developer modes).
  explicit BaseManager(std::string directory);

  const std::string& storageURL() const { return storageURL_; }
  std::vector<Base> bases() const;
  // Reads bases.json again; a missing or undecodable file keeps the previous list.
  void reload();
  // The first base whose name equals the text after full Unicode lower-casing of both.
  std::optional<Base> base(const std::string& named) const;

  static Resolution resolve(const std::vector<std::string>& paths,
                            const std::set<std::string>& flatFolders,
                            const std::set<std::string>& exclusions);
  static Resolution resolve(const Base& base);

  // Writes the list to bases.json (pretty, atomic) and makes it current; false on failure.
  bool save(std::vector<Base> bases);

 private:
  std::string storageURL_;
  mutable std::mutex mutex_;  // guards bases_
  std::shared_ptr<const std::vector<Base>> bases_;
};

// Sorts texts the way a file browser does: case-insensitive, digit runs compared as numbers.
// Stable, so equal texts keep their order.
void sortInStandardOrder(std::vector<std::string>& keys, std::vector<size_t>& order);

}  // namespace zelk
