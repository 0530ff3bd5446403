#include "bases/base.h"

#include <cctype>

#include "platform/iso_date.h"
#include "platform/uuid.h"

namespace zelk {
namespace {

std::optional<std::vector<std::string>> stringList(const JSONValue& value) {
  const JSONArray* array = value.array();
  if (!array) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& item : *array) {
    if (!item.isString()) return std::nullopt;
    out.push_back(*item.string());
  }
  return out;
}

// An optional member: absent or null is absent; present with the wrong type fails the record.
const JSONValue* optionalMember(const JSONValue& object, const char* key) {
  const JSONValue* member = object.find(key);
  return member && !member->isNull() ? member : nullptr;
}

void writeStrings(const std::vector<std::string>& list, std::string& out) {
  if (list.empty()) {
    out += "[]";
    return;
  }
  out += "[\n";
  for (size_t i = 0; i < list.size(); ++i) {
    out += "      ";
    encodeJSONString(list[i], out);
    out += i + 1 < list.size() ? ",\n" : "\n";
  }
  out += "    ]";
}

}  // namespace

std::optional<Base> Base::fromJSON(const JSONValue& value) {
  if (!value.isObject()) return std::nullopt;
  const JSONValue* id = value.find("id");
  const JSONValue* name = value.find("name");
  const JSONValue* paths = value.find("paths");
  const JSONValue* created = value.find("createdAt");
  if (!id || !id->isString() || !name || !name->isString() || !paths || !created ||
      !created->isString()) {
    return std::nullopt;
  }
  Base base;
  auto uuid = platform::canonicalUUID(*id->string());
  auto list = stringList(*paths);
  auto date = platform::parseISO8601(*created->string());
  if (!uuid || !list || !date) return std::nullopt;
  base.id = *uuid;
  base.name = *name->string();
  base.paths = std::move(*list);
  base.createdAt = *date;
  if (const JSONValue* d = optionalMember(value, "description")) {
    if (!d->isString()) return std::nullopt;
    base.description = *d->string();
  }
  if (const JSONValue* f = optionalMember(value, "flatFolders")) {
    if (!(base.flatFolders = stringList(*f))) return std::nullopt;
  }
  if (const JSONValue* e = optionalMember(value, "exclusions")) {
    if (!(base.exclusions = stringList(*e))) return std::nullopt;
  }
  if (const JSONValue* k = optionalMember(value, "keepCurrent")) {
    if (!k->isBool()) return std::nullopt;
    base.keepCurrent = *k->boolean();
  }
  return base;
}

std::optional<std::vector<Base>> Base::decodeFile(std::string_view text) {
  JSONValue value;
  try {
    value = JSONValue::parse(text);
  } catch (const JSONParseError&) {
    return std::nullopt;
  }
  const JSONArray* array = value.array();
  if (!array) return std::nullopt;
  std::vector<Base> bases;
  for (const auto& item : *array) {
    auto base = fromJSON(item);
    if (!base) return std::nullopt;
    bases.push_back(std::move(*base));
  }
  return bases;
}

std::string Base::encodeFile(const std::vector<Base>& bases) {
  if (bases.empty()) return "[]";
  std::string out = "[\n";
  for (size_t b = 0; b < bases.size(); ++b) {
    const Base& base = bases[b];
    std::vector<std::pair<const char*, std::string>> members;
    auto text = [](const std::string& s) {
      std::string out;
      encodeJSONString(s, out);
      return out;
    };
    auto strings = [](const std::vector<std::string>& list) {
      std::string out;
      writeStrings(list, out);
      return out;
    };
    members.emplace_back("id", text(base.id));
    members.emplace_back("name", text(base.name));
    members.emplace_back("paths", strings(base.paths));
    members.emplace_back("createdAt", text(platform::iso8601(base.createdAt)));
    if (base.description) members.emplace_back("description", text(*base.description));
    if (base.flatFolders) members.emplace_back("flatFolders", strings(*base.flatFolders));
    if (base.exclusions) members.emplace_back("exclusions", strings(*base.exclusions));
    if (base.keepCurrent) members.emplace_back("keepCurrent", *base.keepCurrent ? "true" : "false");
    out += "  {\n";
    for (size_t i = 0; i < members.size(); ++i) {
      out += "    \"";
      out += members[i].first;
      out += "\" : ";
      out += members[i].second;
      out += i + 1 < members.size() ? ",\n" : "\n";
    }
    out += b + 1 < bases.size() ? "  },\n" : "  }\n";
  }
  out += "]";
  return out;
}

}  // namespace zelk
