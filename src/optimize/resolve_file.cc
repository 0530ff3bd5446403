// A tool's file argument to one file: a path that exists, or a document name looked up in the
// bases (by display name, then by path suffix).
#include "optimize/resolve_file.h"

#include <filesystem>
#include <utility>
#include <vector>

#include "bases/base_indexer.h"
#include "bases/base_manager.h"
#include "platform/paths.h"
#include "protocol/mcp_tool_error.h"

namespace zelk::MCPTools {

namespace {

struct Listed {
  std::string name;
  std::string path;
};

bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::string expandTilde(const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  if (path.size() > 1 && path[1] != '/') return path;
  std::string home = platform::homeDir();
  if (home.empty()) return path;
  return home + path.substr(1);
}

std::vector<Listed> listFiles(const Base& base) {
  std::vector<Listed> out;
  if (std::optional<IndexSummary> summary = BaseIndexer::shared().summary(base.id)) {
    for (const IndexSummary::File& file : summary->files) {
      out.push_back({file.name ? *file.name : platform::lastPathComponent(file.path), file.path});
    }
    return out;
  }
  for (const auto& file : BaseManager::resolve(base).files) out.push_back({file.name, file.url});
  return out;
}

std::string trimSlashesAndSpaces(const std::string& text) {
  size_t begin = text.find_first_not_of("/ ");
  if (begin == std::string::npos) return {};
  size_t end = text.find_last_not_of("/ ");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

std::string resolveFile(const std::string& path, const std::optional<std::string>& baseName) {
  std::string expanded = expandTilde(path);
  if (!expanded.empty() && expanded[0] == '/' && exists(expanded)) return expanded;

  BaseManager& manager = BaseManager::shared();
  manager.reload();
  std::vector<Base> bases;
  if (baseName) {
    std::optional<Base> base = manager.base(*baseName);
    if (!base) {
      throw MCPToolError::refused("No base named '" + *baseName +
                                  "'. Use list_bases to see them.");
    }
    bases.push_back(std::move(*base));
  } else {
    bases = manager.bases();
  }

  const std::string needle = trimSlashesAndSpaces(path);
  const std::string suffix = "/" + needle;
  std::vector<std::pair<std::string, std::string>> candidates;  // (base name, file path)
  for (const Base& base : bases) {
    std::vector<Listed> files = listFiles(base);
    std::vector<const Listed*> matches;
    for (const Listed& file : files) {
      if (file.name == needle) matches.push_back(&file);
    }
    if (matches.empty()) {
      for (const Listed& file : files) {
        if (file.path.size() >= suffix.size() &&
            file.path.compare(file.path.size() - suffix.size(), suffix.size(), suffix) == 0) {
          matches.push_back(&file);
        }
      }
    }
    if (matches.size() == 1 && exists(matches.front()->path)) {
      candidates.emplace_back(base.name, matches.front()->path);
    }
  }

  if (candidates.size() == 1) return candidates.front().second;
  if (candidates.size() > 1) {
    std::string names;
    for (const auto& [name, file] : candidates) {
      if (!names.empty()) names += ", ";
      names += name;
    }
    throw MCPToolError::refused("'" + path + "' is in more than one base (" + names +
                                "). Pass base_name to say which.");
  }
  throw MCPToolError::refused("File not found: " + path +
                              ". Pass a full path, or the file's name as smart_select shows it "
                              "with its base as base_name.");
}

}  // namespace zelk::MCPTools
