#include "protocol/mcp_tools.h"

#include <map>

#include "optimize/file_tools.h"
#include "protocol/mcp_tool_error.h"
#include "protocol/tool_catalogue.h"
#include "tables/table_question_tool.h"

namespace zelk::MCPTools {

namespace {

using Handler = std::string (*)(const JSONObject&);

// One line per tool whose handler has landed.
const std::map<std::string, Handler>& handlers() {
  static const std::map<std::string, Handler> table = {
      {"table_question", &tableQuestion},
      {"optimize_file", &optimizeFile},
      {"optimize_text", &optimizeText},
      {"fuse_files", &fuseFiles},
  };
  return table;
}

}  // namespace

std::string call(const std::string& tool, const JSONObject& arguments) {
  if (!isKnownName(tool)) throw MCPToolError::refused("Unknown tool: " + tool);
  const auto& table = handlers();
  auto it = table.find(tool);
  // Tools whose handlers have not been built answer as errors rather than with made-up results.
  if (it == table.end()) throw MCPToolError::refused(tool + " is not available in this build yet.");
  return it->second(arguments);
}

}  // namespace zelk::MCPTools
