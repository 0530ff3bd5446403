// JSON-RPC 2.0 message records and their wire encoding.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/json_value.h"

namespace zelk {

struct JSONRPCError {
  int code = 0;
  std::string message;
};

struct JSONRPCRequest {
  std::string jsonrpc;
  std::optional<JSONValue> id;      // absent and null both mean "no id"
  std::string method;
  std::optional<JSONValue> params;  // absent and null both mean "no params"

  // Decodes one JSON text; nullopt when it is not JSON or lacks string jsonrpc/method.
  static std::optional<JSONRPCRequest> decode(std::string_view text);
  // Decodes an already parsed value (an item of an HTTP batch, say).
  static std::optional<JSONRPCRequest> fromValue(const JSONValue& value);
};

struct JSONRPCResponse {
  std::string jsonrpc = "2.0";
  std::optional<JSONValue> id;
  std::optional<JSONValue> result;
  std::optional<JSONRPCError> error;

  static JSONRPCResponse success(std::optional<JSONValue> id, JSONValue result);
  static JSONRPCResponse failure(std::optional<JSONValue> id, int code, std::string message);

  JSONValue toValue() const;
  // Compact JSON; nullopt when the response can't be encoded (a non-finite number).
  std::optional<std::string> encode() const;
};

// The protocol-fault codes.
namespace JSONRPCCode {
inline constexpr int parseError = -32700;
inline constexpr int invalidRequest = -32600;
inline constexpr int methodNotFound = -32601;
inline constexpr int invalidParams = -32602;
inline constexpr int sessionFault = -32000;
}  // namespace JSONRPCCode

}  // namespace zelk
