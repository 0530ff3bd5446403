// Two ways for the detectors to find their pattern matches. `prefiltered` (what the public
// functions use) runs ICU only where a cheap scan shows that a match can begin, and in windows
// around the places that can matter; `wholeText` searches every pattern over the whole text, the
// plain way, and is kept so that tests can hold the first to the same findings and output.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sensitive/sensitive_data.h"

namespace zelk::sensitive_internal {

enum class SearchPath { prefiltered, wholeText };

std::vector<SensitiveData::Finding> detectOn(const std::string& text, const SensitiveRules& rules,
                                             SearchPath path);

std::string redactOn(const std::string& text, const SensitiveRules& rules, PlaceholderMap& map,
                     SearchPath path,
                     const std::optional<std::vector<SensitiveData::Finding>>& detected =
                         std::nullopt);

std::map<std::string, int> flagCandidatesOn(const std::string& text, SearchPath path);

std::optional<SensitiveCategory> headerCategoryOn(const std::string& text, SearchPath path);

}  // namespace zelk::sensitive_internal
