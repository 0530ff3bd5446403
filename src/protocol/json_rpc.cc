#include "protocol/json_rpc.h"

namespace zelk {

std::optional<JSONRPCRequest> JSONRPCRequest::fromValue(const JSONValue& value) {
  const JSONValue* jsonrpc = value.find("jsonrpc");
  const JSONValue* method = value.find("method");
  if (!jsonrpc || !jsonrpc->isString() || !method || !method->isString()) return std::nullopt;
  JSONRPCRequest request;
  request.jsonrpc = *jsonrpc->string();
  request.method = *method->string();
  if (const JSONValue* id = value.find("id"); id && !id->isNull()) request.id = *id;
  if (const JSONValue* params = value.find("params"); params && !params->isNull()) {
    request.params = *params;
  }
  return request;
}

std::optional<JSONRPCRequest> JSONRPCRequest::decode(std::string_view text) {
  try {
    return fromValue(JSONValue::parse(text));
  } catch (const JSONParseError&) {
    return std::nullopt;
  }
}

JSONRPCResponse JSONRPCResponse::success(std::optional<JSONValue> id, JSONValue result) {
  JSONRPCResponse r;
  r.id = std::move(id);
  r.result = std::move(result);
  return r;
}

JSONRPCResponse JSONRPCResponse::failure(std::optional<JSONValue> id, int code,
                                         std::string message) {
  JSONRPCResponse r;
  r.id = std::move(id);
  r.error = JSONRPCError{code, std::move(message)};
  return r;
}

JSONValue JSONRPCResponse::toValue() const {
  JSONObject o;
  o["jsonrpc"] = jsonrpc;
  if (id) o["id"] = *id;
  if (result) o["result"] = *result;
  if (error) o["error"] = JSONObject{{"code", error->code}, {"message", error->message}};
  return o;
}

std::optional<std::string> JSONRPCResponse::encode() const {
  // Written by hand so that "jsonrpc" leads, as peers reading logs expect.
  try {
    std::string out = "{\"jsonrpc\":";
    encodeJSONString(jsonrpc, out);
    if (id) out += ",\"id\":" + id->encode();
    if (result) out += ",\"result\":" + result->encode();
    if (error) {
      out += ",\"error\":{\"code\":" + std::to_string(error->code) + ",\"message\":";
      encodeJSONString(error->message, out);
      out += "}";
    }
    out += "}";
    return out;
  } catch (const JSONEncodeError&) {
    return std::nullopt;
  }
}

}  // namespace zelk
