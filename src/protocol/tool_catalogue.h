// The catalogue of the eight tools as "tools/list" shows them: names, descriptions, schemas.
#pragma once

#include <array>
#include <string>

#include "protocol/json_value.h"

namespace zelk::MCPTools {

inline constexpr std::array<const char*, 8> knownNames = {
    "optimize_file", "optimize_text", "smart_select", "table_question",
    "fuse_files",    "find_text",     "list_bases",   "propose_base"};

bool isKnownName(const std::string& name);

// The ceiling on result rows of a table answer, written into the limit description.
inline constexpr int kTableResultRowCeiling = 200;

// The tool list; propose_base is listed last, and only when includeProposeBase.
JSONArray toolDefinitions(bool includeProposeBase);
// The same, reading the aiOrganizeBases setting now.
JSONArray toolDefinitions();

// The annotations of a read-only tool.
JSONObject annotations(const std::string& title);

}  // namespace zelk::MCPTools
