// A base: a named collection of the user's folders and files, as bases.json stores it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/json_value.h"

namespace zelk {

struct Base {
  std::string id;  // canonical upper-case UUID text
  std::string name;
  std::vector<std::string> paths;
  double createdAt = 0;  // seconds since 1970, whole seconds when written
  std::optional<std::string> description;
  std::optional<std::vector<std::string>> flatFolders;
  std::optional<std::vector<std::string>> exclusions;
  std::optional<bool> keepCurrent;  // kept for the desktop app; no behaviour here

  // One record; nullopt when a required key is missing or any known key has the wrong type.
  static std::optional<Base> fromJSON(const JSONValue& value);
  // A whole bases file; nullopt when it is not an array of valid records.
  static std::optional<std::vector<Base>> decodeFile(std::string_view text);
  // The file text: pretty-printed, keys in field order, absent optionals left out.
  static std::string encodeFile(const std::vector<Base>& bases);
};

}  // namespace zelk
