#include "protocol/mcp_tools.h"

#include "protocol/mcp_tool_error.h"
#include "protocol/tool_catalogue.h"

namespace zelk::MCPTools {

std::string call(const std::string& tool, const JSONObject& /*arguments*/) {
  if (!isKnownName(tool)) throw MCPToolError::refused("Unknown tool: " + tool);
  // Tools whose handlers have not been built answer as errors rather than with made-up results.
  throw MCPToolError::refused(tool + " is not available in this build yet.");
}

}  // namespace zelk::MCPTools
