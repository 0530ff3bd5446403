// The MCP endpoint: the handshake, the tool list and tool calls, over stdio or for a transport.
// One instance serves one connection; handle() is called by one thread at a time.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string_view>
#include <string>

#include "protocol/json_rpc.h"

namespace zelk {

class MCPServer {
 public:
  // Lines longer than this are answered with the parse error and skipped.
  static constexpr size_t kMaxLineBytes = 67108864;
  static constexpr const char* kWebsite = "https://zelk.app";

  explicit MCPServer(bool negotiateVersion = false) : negotiateVersion_(negotiateVersion) {}

  // Serves input until its end: one request per line, one response line per request with an id.
  void run(int inputFd = 0, int outputFd = 1);
  // One input line (its line ending already removed) to the line to write, if any.
  std::optional<std::string> respond(std::string_view line);
  std::optional<JSONRPCResponse> handle(const JSONRPCRequest& request);
  JSONRPCResponse handleToolCall(const JSONRPCRequest& request);

  // The name the ledger records for a client that reported this name.
  static std::string clientName(const std::string& reported);
  // The same with the process lookups supplied (for tests): parent of a pid, exe of a pid.
  static std::string clientName(const std::string& reported,
                                const std::function<std::optional<pid_t>(pid_t)>& parentOf,
                                const std::function<std::optional<std::string>(pid_t)>& exeOf,
                                pid_t self);

  static std::string instructions();
  static JSONValue serverInfo();

 private:
  JSONValue initialize(const std::optional<JSONValue>& params);

  bool negotiateVersion_;
};

}  // namespace zelk
