#include "protocol/mcp_server.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "bases/search_gate.h"
#include "ledger/activity_ledger.h"
#include "platform/base64.h"
#include "platform/process.h"
#include "platform/unicode.h"
#include "protocol/icons.h"
#include "protocol/mcp_tool_error.h"
#include "protocol/mcp_tools.h"
#include "protocol/paging.h"
#include "protocol/tool_calls.h"
#include "protocol/tool_catalogue.h"
#include "retrieval/floor_judge.h"

namespace zelk {
namespace {

constexpr std::array<const char*, 3> kSupportedVersions = {"2025-06-18", "2025-03-26",
                                                           "2024-11-05"};
constexpr const char* kStdioVersion = "2024-11-05";

struct LaunchRow {
  const char* reported;
  const char* pathPart;
  const char* recorded;
};
constexpr std::array<LaunchRow, 3> kLaunchedBy = {{
    {"rmcp", "/Devin.app/", "devin-desktop"},
    {"rmcp", "/Windsurf.app/", "windsurf"},
    {"copilot-cli", "/Visual Studio Code.app/", "vscode"},
}};

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Holds the search gate while the judge warms up, for at most 120 seconds.
void startWarmUpHold() {
  if (FloorJudgeProvider::shared().hasJudge()) return;
  SearchGate::began();
  std::thread([] {
    auto start = std::chrono::steady_clock::now();
    while (!FloorJudgeProvider::shared().hasJudge() &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(120)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    SearchGate::ended();
  }).detach();
}

JSONObject icon(std::string_view png, const char* size) {
  return {{"src", "data:image/png;base64," + platform::base64Encode(png)},
          {"mimeType", "image/png"},
          {"sizes", JSONArray{size}}};
}

}  // namespace

std::string MCPServer::instructions() {
  std::string website = kWebsite;
  if (auto scheme = website.find("://"); scheme != std::string::npos) {
    website = website.substr(scheme + 3);
  }
  return "For any question about the user's own documents, use zelk before reading or searching "
         "their files yourself: call list_bases, then smart_select with the question in plain "
         "words and the names, dates and terms the documents would use. You get only the "
         "passages that answer it, with their sources, and private details stay hidden by the "
         "user's rules. If match_quality is \"none\", reword once or try another base; if it is "
         "still \"none\", say it isn't in their documents instead of guessing."
         "\n\n"
         "Bases are named collections of the user's files and folders. To read a whole file use "
         "optimize_file, and fuse_files for several at once. For totals, averages, counts or "
         "rankings over a spreadsheet or CSV, use table_question: zelk works them out exactly "
         "over every row and returns only the result."
         "\n\n"
         "zelk runs on the user's Mac and prepares their documents for you. It removes what "
         "carries no meaning (repeated headers and footers, spacing, table borders, page "
         "numbers, long links) and keeps the user's words as written and every number intact. "
         "If a shorter version would lose a single figure, zelk sends the document as written. "
         "It hides private details (Social Security, card, bank and ID numbers plus any others "
         "the user chooses) as placeholders like [SSN 1], by the user's rules. zelk prepares "
         "documents on this Mac and never uploads them. It returns only what you ask for (the "
         "passages that answer a question, or a file you read whole), with private details "
         "hidden."
         "\n\n"
         "If the user asks about zelk: it works four ways. AI apps like you call it directly. "
         "Bases let you search their documents. A browser extension brings it into ChatGPT, "
         "Claude and Gemini on the web. Folders save AI-ready versions for AI tools zelk isn't "
         "connected to. Files over 100 MB (Excel over 50 MB) aren't read whole. More at " +
         website + ".";
}

JSONValue MCPServer::serverInfo() {
  return JSONObject{{"name", "zelk"},
                    {"title", "zelk"},
                    {"version", "1.0.0"},
                    {"websiteUrl", kWebsite},
                    {"icons", JSONArray{icon(icons::png32(), "32x32"),
                                        icon(icons::png192(), "192x192")}}};
}

std::string MCPServer::clientName(
    const std::string& reported, const std::function<std::optional<pid_t>(pid_t)>& parentOf,
    const std::function<std::optional<std::string>(pid_t)>& exeOf, pid_t self) {
  bool listed = false;
  for (const auto& row : kLaunchedBy) listed = listed || reported == row.reported;
  if (!listed) return reported;
  std::optional<pid_t> pid = parentOf(self);
  for (int step = 0; step < 3 && pid; ++step) {
    if (*pid > 1) {
      if (auto path = exeOf(*pid)) {
        for (const auto& row : kLaunchedBy) {
          if (reported == row.reported && path->find(row.pathPart) != std::string::npos) {
            return row.recorded;
          }
        }
      }
    }
    pid = parentOf(*pid);
  }
  return reported;
}

std::string MCPServer::clientName(const std::string& reported) {
  return clientName(
      reported, [](pid_t pid) { return platform::parentProcess(pid); },
      [](pid_t pid) { return platform::executablePath(pid, 4096); }, getpid());
}

JSONValue MCPServer::initialize(const std::optional<JSONValue>& params) {
  startWarmUpHold();

  std::string client = "unknown";
  std::optional<std::string> version;
  if (params) {
    if (const JSONValue* info = params->find("clientInfo"); info && info->isObject()) {
      if (const JSONValue* name = info->find("name"); name && name->isString()) {
        client = clientName(*name->string());
        if (const JSONValue* v = info->find("version"); v && v->isString()) version = *v->string();
      }
    }
  }
  ActivityLedger::shared().setClient(ActivityLedger::Client{client, version, "mcp"});

  std::string protocolVersion = kStdioVersion;
  if (negotiateVersion_) {
    protocolVersion = kSupportedVersions[0];
    if (params) {
      if (const JSONValue* asked = params->find("protocolVersion"); asked && asked->isString()) {
        for (const char* supported : kSupportedVersions) {
          if (*asked->string() == supported) protocolVersion = supported;
        }
      }
    }
  }
  return JSONObject{{"protocolVersion", protocolVersion},
                    {"capabilities", JSONObject{{"tools", JSONObject{}}}},
                    {"serverInfo", serverInfo()},
                    {"instructions", instructions()}};
}

std::optional<JSONRPCResponse> MCPServer::handle(const JSONRPCRequest& request) {
  if (!request.id) return std::nullopt;
  const std::string& method = request.method;
  if (method == "initialize") return JSONRPCResponse::success(request.id, initialize(request.params));
  if (method == "initialized") return std::nullopt;
  if (method == "ping") return JSONRPCResponse::success(request.id, JSONObject{});
  if (method == "tools/list") {
    return JSONRPCResponse::success(request.id,
                                    JSONObject{{"tools", MCPTools::toolDefinitions()}});
  }
  if (method == "tools/call") return handleToolCall(request);
  return JSONRPCResponse::failure(request.id, JSONRPCCode::methodNotFound,
                                  "Method not found: " + method);
}

JSONRPCResponse MCPServer::handleToolCall(const JSONRPCRequest& request) {
  const JSONValue* name = request.params ? request.params->find("name") : nullptr;
  if (!name || !name->isString()) {
    return JSONRPCResponse::failure(request.id, JSONRPCCode::invalidParams, "Invalid params");
  }
  const std::string tool = *name->string();
  JSONObject arguments;
  if (const JSONValue* args = request.params->find("arguments"); args && args->isObject()) {
    arguments = *args->object();
  }

  SearchGate::began();
  ToolCalls::began();
  SharedFloorJudge::retryIfMissing();

  JSONArray content;
  bool isError = false;
  try {
    std::string text = MCPTools::call(tool, arguments);
    size_t start = 0;
    for (;;) {
      size_t at = text.find(Paging::blockBreak, start);
      std::string piece = text.substr(start, at == std::string::npos ? std::string::npos : at - start);
      content.push_back(JSONObject{{"type", "text"}, {"text", std::move(piece)}});
      if (at == std::string::npos) break;
      start = at + Paging::blockBreak.size();
    }
  } catch (const std::exception& error) {
    isError = true;
    content.clear();
    content.push_back(JSONObject{{"type", "text"}, {"text", error.what()}});
    if (MCPTools::isKnownName(tool)) {
      ActivityLedger::shared().recordError(tool, error.what());
    } else {
      ActivityLedger::shared().recordError("unknown", "Unknown tool");
    }
  }

  ToolCalls::ended();
  SearchGate::ended();
  return JSONRPCResponse::success(request.id,
                                  JSONObject{{"content", std::move(content)}, {"isError", isError}});
}

std::optional<std::string> MCPServer::respond(std::string_view line) {
  static const std::string kParseError =
      R"({"jsonrpc":"2.0","error":{"code":-32700,"message":"Parse error"}})";
  if (line.empty()) return std::nullopt;
  std::optional<JSONRPCRequest> request = JSONRPCRequest::decode(platform::sanitizeUtf8(line));
  if (!request) return kParseError;
  std::optional<JSONRPCResponse> response;
  try {
    response = handle(*request);
  } catch (const std::exception&) {
    // A fault outside any tool: answer nothing rather than end the session.
    return std::nullopt;
  }
  if (!response) return std::nullopt;
  return response->encode();
}

void MCPServer::run(int inputFd, int outputFd) {
  std::string line;
  bool overlong = false;  // inside a line past the limit: drop bytes until its end
  std::string buffer(1 << 16, '\0');

  auto finishLine = [&] {
    if (overlong) {
      overlong = false;
      line.clear();
      line = "\x01";  // any text that is not JSON draws the parse error
    } else if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (auto out = respond(line)) writeAll(outputFd, *out + "\n");
    line.clear();
  };

  for (;;) {
    ssize_t n = ::read(inputFd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const char* data = buffer.data();
    size_t size = static_cast<size_t>(n);
    while (size > 0) {
      const char* newline = static_cast<const char*>(std::memchr(data, '\n', size));
      size_t take = newline ? static_cast<size_t>(newline - data) : size;
      if (!overlong) {
        if (line.size() + take > kMaxLineBytes) {
          overlong = true;
          std::string().swap(line);
        } else {
          line.append(data, take);
        }
      }
      if (!newline) break;
      finishLine();
      data = newline + 1;
      size -= take + 1;
    }
  }
  if (!line.empty() || overlong) finishLine();
}

}  // namespace zelk
