// The entry from a tool name and its arguments to the tool's answer text.
#pragma once

#include <string>

#include "protocol/json_value.h"

namespace zelk::MCPTools {

// Runs the named tool. Returns its answer text or throws MCPToolError (or a reader's error).
std::string call(const std::string& tool, const JSONObject& arguments);

}  // namespace zelk::MCPTools
