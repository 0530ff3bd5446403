#include "protocol/tool_catalogue.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

JSONArray golden() {
  std::ifstream in(std::string(ZELK_SOURCE_DIR) + "/tests/fixtures/protocol/tools-list.json");
  std::stringstream s;
  s << in.rdbuf();
  return *JSONValue::parse(s.str()).array();
}

TEST(ToolCatalogue, MatchesTheGoldenCopyToolByTool) {
  JSONArray expected = golden();
  JSONArray actual = MCPTools::toolDefinitions(true);
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i].encodePretty(), expected[i].encodePretty());
  }
}

TEST(ToolCatalogue, ProposeBaseFollowsTheSetting) {
  TempDir dir;
  ScopedEnv prefs("ZELK_PREFS_PATH", dir.file("prefs.json"));
  auto names = [] {
    std::vector<std::string> out;
    for (const auto& tool : MCPTools::toolDefinitions()) out.push_back(*tool.find("name")->string());
    return out;
  };
  EXPECT_EQ(names().size(), 8u);  // no settings file: organizing bases is on
  EXPECT_EQ(names().back(), "propose_base");
  ASSERT_TRUE(platform::writeFileAtomically(dir.file("prefs.json"), R"({"aiOrganizeBases":false})"));
  EXPECT_EQ(names().size(), 7u);
  EXPECT_EQ(names().back(), "list_bases");
  EXPECT_TRUE(MCPTools::isKnownName("propose_base"));  // still dispatched
}

TEST(ToolCatalogue, HintsAndSchemaShapes) {
  for (const auto& tool : MCPTools::toolDefinitions(true)) {
    const JSONValue& a = *tool.find("annotations");
    bool propose = *tool.find("name")->string() == "propose_base";
    EXPECT_EQ(*a.find("readOnlyHint")->boolean(), !propose);
    EXPECT_EQ(*a.find("idempotentHint")->boolean(), !propose);
    EXPECT_FALSE(*a.find("destructiveHint")->boolean());
    EXPECT_FALSE(*a.find("openWorldHint")->boolean());
    EXPECT_TRUE(tool.find("inputSchema")->find("required")->isArray());
  }
  JSONArray tools = MCPTools::toolDefinitions(true);
  EXPECT_NE(tools[0].find("inputSchema")->find("properties")->find("platform")->find("description"),
            nullptr);
  EXPECT_EQ(tools[1].find("inputSchema")->find("properties")->find("platform")->find("description"),
            nullptr);
}

}  // namespace
}  // namespace zelk
