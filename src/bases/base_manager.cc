#include "bases/base_manager.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unicode/coll.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <numeric>

#include "documents/document_format.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/unicode.h"

namespace zelk {
namespace {

// bases.json is written by the desktop app; anything this large is not one.
constexpr size_t kMaxBasesFileBytes = 64 << 20;

const std::map<std::string, std::string>& googleNative() {
  static const std::map<std::string, std::string> kinds = {{"gdoc", "Doc"},
                                                          {"gsheet", "Sheet"},
                                                          {"gslides", "Slides file"},
                                                          {"gdraw", "Drawing"},
                                                          {"gform", "Form"}};
  return kinds;
}

std::string standardized(const std::string& path) {
  std::filesystem::path p(path);
  if (p.is_relative()) p = std::filesystem::current_path() / p;
  std::string out = p.lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

struct Triple {
  std::string url, relative, source;
};

struct Walk {
  std::vector<Triple> collected;
  std::vector<std::string> unopened;  // relative paths of folders that could not be listed
};

// Lists a folder depth-first with an explicit stack, so deep trees cannot exhaust the stack.
void walkFolder(const std::string& root, bool flat, const std::set<std::string>& exclusions,
                std::set<std::string>& seen, BaseManager::Resolution& out, Walk& walk) {
  struct Pending {
    std::string path, relative;
  };
  std::vector<Pending> stack = {{root, ""}};
  while (!stack.empty()) {
    Pending folder = std::move(stack.back());
    stack.pop_back();
    DIR* dir = opendir(folder.path.c_str());
    if (!dir) {
      walk.unopened.push_back(folder.relative);
      continue;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;  // hidden entries, "." and ".."
      names.push_back(std::move(name));
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::vector<Pending> subfolders;
    for (const std::string& name : names) {
      std::string path = platform::joinPath(folder.path, name);
      std::string relative = folder.relative.empty() ? name : folder.relative + "/" + name;
      struct stat st{};
      bool typed = lstat(path.c_str(), &st) == 0;
      if (typed && S_ISDIR(st.st_mode)) {
        if (!flat && !BaseManager::ignoredFolders().count(name)) {
          subfolders.push_back({path, relative});
        }
        continue;
      }
      std::string ext = platform::lowercased(DocumentFormats::pathExtension(name));
      if (auto kind = googleNative().find(ext); kind != googleNative().end()) {
        std::string key = standardized(path);
        if (seen.insert(key).second) {
          out.skipped.push_back({relative,
                                 "a Google " + kind->second +
                                     ": it lives in Google's cloud, not as a file on this Mac (in "
                                     "Google, choose File \xE2\x86\x92 Download to include it)",
                                 path, std::nullopt});
        }
        continue;
      }
      if (!DocumentFormats::from(name)) continue;
      if (!typed || !S_ISREG(st.st_mode)) continue;
      std::string key = standardized(path);
      if (!seen.insert(key).second) continue;
      if (exclusions.count(key)) {
        out.excluded.push_back(path);
        continue;
      }
      walk.collected.push_back({path, relative, platform::lastPathComponent(root)});
    }
    // Reverse so that the stack visits subfolders in name order.
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) stack.push_back(*it);
  }
}

}  // namespace

void sortInStandardOrder(std::vector<std::string>& keys, std::vector<size_t>& order) {
  order.resize(keys.size());
  std::iota(order.begin(), order.end(), 0);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale::getDefault(),
                                                                        status));
  if (U_FAILURE(status) || !collator) {
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
    return;
  }
  collator->setStrength(icu::Collator::SECONDARY);  // letter case does not order
  collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
  std::vector<icu::UnicodeString> texts;
  texts.reserve(keys.size());
  for (const auto& k : keys) texts.push_back(platform::toUnicode(k));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    UErrorCode s = U_ZERO_ERROR;
    return collator->compare(texts[a], texts[b], s) == UCOL_LESS;
  });
}

const std::set<std::string>& BaseManager::ignoredFolders() {
  static const std::set<std::string> names = {
      "node_modules", "bower_components", "DerivedData", "Pods",  "__pycache__",
      "site-packages", "dist",            "dist-safari", "build", "SourcePackages"};
  return names;
}

BaseManager& BaseManager::shared() {
  static BaseManager* manager = new BaseManager(platform::basesDir());  // lives for the process
  return *manager;
}

BaseManager::BaseManager(std::string directory)
    : storageURL_(platform::joinPath(directory, "bases.json")),
      bases_(std::make_shared<const std::vector<Base>>()) {
  platform::createDirectories(directory);
  reload();
}

std::vector<Base> BaseManager::bases() const {
  std::lock_guard lock(mutex_);
  return *bases_;
}

void BaseManager::reload() {
  auto text = platform::readFile(storageURL_, kMaxBasesFileBytes);
  if (!text) return;
  auto decoded = Base::decodeFile(*text);
  if (!decoded) return;
  auto list = std::make_shared<const std::vector<Base>>(std::move(*decoded));
  std::lock_guard lock(mutex_);
  bases_ = std::move(list);
}

std::optional<Base> BaseManager::base(const std::string& named) const {
  std::string wanted = platform::lowercased(named);
  for (const Base& b : bases()) {
    if (platform::canonicallyEqual(platform::lowercased(b.name), wanted)) return b;
  }
  return std::nullopt;
}

bool BaseManager::save(std::vector<Base> list) {
  bool ok = platform::writeFileAtomically(storageURL_, Base::encodeFile(list));
  auto shared = std::make_shared<const std::vector<Base>>(std::move(list));
  std::lock_guard lock(mutex_);
  bases_ = std::move(shared);
  return ok;
}

BaseManager::Resolution BaseManager::resolve(const Base& base) {
  std::set<std::string> flat, excluded;
  if (base.flatFolders) flat.insert(base.flatFolders->begin(), base.flatFolders->end());
  if (base.exclusions) excluded.insert(base.exclusions->begin(), base.exclusions->end());
  return resolve(base.paths, flat, excluded);
}

BaseManager::Resolution BaseManager::resolve(const std::vector<std::string>& paths,
                                             const std::set<std::string>& flatFolders,
                                             const std::set<std::string>& exclusions) {
  Resolution out;
  std::vector<Triple> toName;
  std::set<std::string> seen;
  std::set<std::string> standardExclusions;
  for (const auto& e : exclusions) standardExclusions.insert(standardized(e));

  for (const std::string& entry : paths) {
    struct stat st{};
    if (stat(entry.c_str(), &st) != 0) {
      out.skipped.push_back(
          {platform::lastPathComponent(entry), "not found (moved or deleted?)", {}, {}});
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      Walk walk;
      walkFolder(entry, flatFolders.count(entry) > 0, standardExclusions, seen, out, walk);
      std::vector<std::string> keys;
      for (const auto& t : walk.collected) keys.push_back(t.relative);
      std::vector<size_t> order;
      sortInStandardOrder(keys, order);
      for (size_t i : order) toName.push_back(walk.collected[i]);
      for (const auto& relative : walk.unopened) {
        out.skipped.push_back({relative.empty() ? platform::lastPathComponent(entry)
                                                : relative + "/",
                               "folder could not be opened (permissions?)", {}, {}});
      }
      continue;
    }
    std::string key = standardized(entry);
    if (standardExclusions.count(key)) {
      out.excluded.push_back(entry);
      continue;
    }
    if (DocumentFormats::from(entry) && seen.insert(key).second) {
      toName.push_back({entry, platform::lastPathComponent(entry),
                        platform::lastPathComponent(platform::parentPath(entry))});
    }
  }

  std::map<std::string, int> relativeCount, nameCount;
  for (const auto& t : toName) ++relativeCount[t.relative];
  std::vector<std::string> names;
  for (const auto& t : toName) {
    names.push_back(relativeCount[t.relative] == 1 ? t.relative : t.source + "/" + t.relative);
    ++nameCount[names.back()];
  }
  std::string home = platform::homeDir();
  for (size_t i = 0; i < toName.size(); ++i) {
    std::string name = names[i];
    if (nameCount[name] > 1) {
      name = standardized(toName[i].url);
      if (!home.empty() && (name == home || name.rfind(home + "/", 0) == 0)) {
        name = "~" + name.substr(home.size());
      }
    }
    out.files.push_back({toName[i].url, std::move(name)});
  }
  return out;
}

}  // namespace zelk
