#include "protocol/mcp_server.h"

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "bases/search_gate.h"
#include "platform/atomic_file.h"
#include "platform/base64.h"
#include "protocol/icons.h"
#include "protocol/tool_calls.h"
#include "session_driver.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::IsolatedHome;
using testing::runSession;

JSONValue parseLine(const std::string& line) { return JSONValue::parse(line); }

std::string readFixture(const std::string& name) {
  std::ifstream in(std::string(ZELK_SOURCE_DIR) + "/tests/fixtures/protocol/" + name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const char* kParseError = R"({"jsonrpc":"2.0","error":{"code":-32700,"message":"Parse error"}})";

TEST(MCPServer, LineHandlingTable) {
  IsolatedHome home;
  struct Case {
    std::string input;
    std::vector<std::string> output;
  };
  const Case cases[] = {
      {"\n\n", {}},
      {"   \n", {kParseError}},
      {"{not json}\n", {kParseError}},
      {R"({"id":1,"method":"ping"})" "\n", {kParseError}},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n", {}},
      {R"({"jsonrpc":"2.0","id":null,"method":"ping"})" "\n", {}},
      {R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"list_bases"}})" "\n", {}},
      {R"({"jsonrpc":"2.0","id":3,"method":"ping"})" "\r\n", {R"({"jsonrpc":"2.0","id":3,"result":{}})"}},
      {R"({"jsonrpc":"2.0","id":4,"method":"resources/list"})" "\n",
       {R"({"jsonrpc":"2.0","id":4,"error":{"code":-32601,"message":"Method not found: resources\/list"}})"}},
      {R"({"jsonrpc":"2.0","id":"s","method":"initialized"})" "\n", {}},
      {R"({"jsonrpc":"2.0","id":5,"method":"ping"})", {R"({"jsonrpc":"2.0","id":5,"result":{}})"}},
  };
  for (const auto& c : cases) EXPECT_EQ(runSession(c.input), c.output) << c.input;
}

TEST(MCPServer, InvalidUtf8BecomesReplacementCharacter) {
  IsolatedHome home;
  auto lines = runSession("{\"jsonrpc\":\"2.0\",\"id\":\"a\xFF\",\"method\":\"ping\"}\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(*parseLine(lines[0]).find("id")->string(), "a\xEF\xBF\xBD");
}

TEST(MCPServer, OverlongLineIsAnsweredWithParseErrorAndSkipped) {
  IsolatedHome home;
  std::string input = "\"" + std::string(MCPServer::kMaxLineBytes, 'x') + "\"\n" +
                      R"({"jsonrpc":"2.0","id":9,"method":"ping"})" "\n";
  auto lines = runSession(input);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], kParseError);
  EXPECT_EQ(lines[1], R"({"jsonrpc":"2.0","id":9,"result":{}})");
}

TEST(MCPServer, InitializeOnStdioAlwaysAnswers20241105) {
  IsolatedHome home;
  auto lines = runSession(
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","clientInfo":{"name":"claude-ai","version":"1"}}})"
      "\n");
  ASSERT_EQ(lines.size(), 1u);
  JSONValue result = *parseLine(lines[0]).find("result");
  EXPECT_EQ(*result.find("protocolVersion")->string(), "2024-11-05");
  EXPECT_EQ(result.find("capabilities")->encode(), R"({"tools":{}})");
  EXPECT_EQ(*result.find("instructions")->string(), readFixture("instructions.txt"));
  const JSONValue& info = *result.find("serverInfo");
  EXPECT_EQ(*info.find("name")->string(), "zelk");
  EXPECT_EQ(*info.find("title")->string(), "zelk");
  EXPECT_EQ(*info.find("version")->string(), "1.0.0");
  EXPECT_EQ(info.find("websiteUrl")->string()->rfind("https://", 0), 0u);
  EXPECT_EQ(info.find("icons")->array()->size(), 2u);
}

TEST(MCPServer, NegotiatedVersions) {
  IsolatedHome home;
  MCPServer server(/*negotiateVersion=*/true);
  const std::map<std::string, std::string> cases = {
      {R"({"protocolVersion":"2025-03-26"})", "2025-03-26"},
      {R"({"protocolVersion":"2024-11-05"})", "2024-11-05"},
      {R"({"protocolVersion":"2025-06-18"})", "2025-06-18"},
      {R"({"protocolVersion":"1999-01-01"})", "2025-06-18"},
      {R"({"protocolVersion":5})", "2025-06-18"},
      {R"({})", "2025-06-18"},
  };
  for (const auto& [params, expected] : cases) {
    JSONRPCRequest request{"2.0", JSONValue(1), "initialize", JSONValue::parse(params)};
    auto response = server.handle(request);
    ASSERT_TRUE(response && response->result);
    EXPECT_EQ(*response->result->find("protocolVersion")->string(), expected) << params;
  }
}

TEST(MCPServer, IconsAreEmbeddedRgbaPngsOfTheirSizes) {
  JSONValue info = MCPServer::serverInfo();
  const JSONArray& icons = *info.find("icons")->array();
  const std::pair<std::string_view, unsigned> expected[] = {{icons::png32(), 32},
                                                            {icons::png192(), 192}};
  for (size_t i = 0; i < 2; ++i) {
    std::string_view png = expected[i].first;
    unsigned size = expected[i].second;
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    auto be32 = [&](size_t at) {
      return (unsigned(uint8_t(png[at])) << 24) | (unsigned(uint8_t(png[at + 1])) << 16) |
             (unsigned(uint8_t(png[at + 2])) << 8) | unsigned(uint8_t(png[at + 3]));
    };
    EXPECT_EQ(be32(16), size);
    EXPECT_EQ(be32(20), size);
    EXPECT_EQ(png[24], 8);  // bit depth
    EXPECT_EQ(png[25], 6);  // RGBA
    std::string sizes = std::to_string(size) + "x" + std::to_string(size);
    EXPECT_EQ(icons[i].find("sizes")->encode(), "[\"" + sizes + "\"]");
    EXPECT_EQ(*icons[i].find("mimeType")->string(), "image/png");
    EXPECT_EQ(*icons[i].find("src")->string(),
              "data:image/png;base64," + platform::base64Encode(png));
  }
}

TEST(MCPServer, ClientNameFromAncestorExecutables) {
  // A process tree: 100 (us) <- 50 <- 40 <- 30 <- 20.
  std::map<pid_t, pid_t> parents = {{100, 50}, {50, 40}, {40, 30}, {30, 20}};
  std::map<pid_t, std::string> exes;
  auto parentOf = [&](pid_t p) -> std::optional<pid_t> {
    auto it = parents.find(p);
    return it == parents.end() ? std::nullopt : std::optional<pid_t>(it->second);
  };
  auto exeOf = [&](pid_t p) -> std::optional<std::string> {
    auto it = exes.find(p);
    return it == exes.end() ? std::nullopt : std::optional<std::string>(it->second);
  };
  auto name = [&](const std::string& reported) {
    return MCPServer::clientName(reported, parentOf, exeOf, 100);
  };
  exes[40] = "/Applications/Windsurf.app/Contents/MacOS/Windsurf";
  EXPECT_EQ(name("rmcp"), "windsurf");
  EXPECT_EQ(name("claude-ai"), "claude-ai");
  EXPECT_EQ(name("copilot-cli"), "copilot-cli");
  exes[50] = "/opt/Devin.app/devin";  // the nearer ancestor wins
  EXPECT_EQ(name("rmcp"), "devin-desktop");
  exes.clear();
  exes[20] = "/Applications/Windsurf.app/x";  // four steps up: beyond the walk
  EXPECT_EQ(name("rmcp"), "rmcp");
  exes[30] = "/Applications/Visual Studio Code.app/Contents/MacOS/Electron";
  EXPECT_EQ(name("copilot-cli"), "vscode");
  EXPECT_EQ(name("rmcp"), "rmcp");
}

TEST(MCPServer, ToolsCallParamsChecks) {
  IsolatedHome home;
  MCPServer server;
  auto call = [&](const std::string& params) {
    std::optional<JSONValue> p;
    if (!params.empty()) p = JSONValue::parse(params);
    return *server.handle(JSONRPCRequest{"2.0", JSONValue(1), "tools/call", p})->encode();
  };
  const std::string invalid = R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"Invalid params"}})";
  EXPECT_EQ(call(""), invalid);
  EXPECT_EQ(call(R"([1])"), invalid);
  EXPECT_EQ(call(R"({"name":5})"), invalid);
  EXPECT_EQ(call(R"({"arguments":{}})"), invalid);
  EXPECT_EQ(call(R"({"name":"nope"})"),
            R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"text":"Unknown tool: nope","type":"text"}],"isError":true}})");
  EXPECT_EQ(call(R"({"name":"list_bases","arguments":"a string"})"),
            R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"text":"list_bases is not available in this build yet.","type":"text"}],"isError":true}})");
}

TEST(MCPServer, ToolCallTakesAndReleasesTheMarkers) {
  IsolatedHome home;
  MCPServer server;
  server.handle(JSONRPCRequest{"2.0", JSONValue(1), "tools/call",
                               JSONValue::parse(R"({"name":"find_text"})")});
  struct stat st{};
  EXPECT_NE(stat(ToolCalls::markerPath().c_str(), &st), 0);  // removed again
  EXPECT_EQ(ToolCalls::running(), 0);
  EXPECT_EQ(SearchGate::holds(), 0);
  auto marker = platform::readFile(SearchGate::markerDirectory() + "/" + std::to_string(getpid()));
  ASSERT_TRUE(marker);
  EXPECT_EQ(marker->rfind("ended ", 0), 0u);
}

TEST(ToolCalls, MarkerExistsWhileAnyCallRuns) {
  IsolatedHome home;
  struct stat st{};
  ToolCalls::began();
  EXPECT_EQ(stat(ToolCalls::markerPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  ToolCalls::began();
  ToolCalls::ended();
  EXPECT_EQ(stat(ToolCalls::markerPath().c_str(), &st), 0);
  ToolCalls::ended();
  EXPECT_NE(stat(ToolCalls::markerPath().c_str(), &st), 0);
  ToolCalls::ended();  // never below zero
  EXPECT_EQ(ToolCalls::running(), 0);
  ToolCalls::began();
  EXPECT_EQ(stat(ToolCalls::markerPath().c_str(), &st), 0);
  ToolCalls::ended();
}

TEST(MCPServer, InitializeHoldsTheSearchGateWhileTheJudgeIsMissing) {
  IsolatedHome home;
  MCPServer server;
  server.handle(JSONRPCRequest{"2.0", JSONValue(1), "initialize", std::nullopt});
  EXPECT_EQ(SearchGate::holds(), 1);
  EXPECT_TRUE(SearchGate::busy());
}

}  // namespace
}  // namespace zelk
