#include "bases/index_summary.h"

#include "platform/iso_date.h"
#include "platform/paths.h"
#include "protocol/json_value.h"

namespace zelk {
namespace {

// Member readers for the small JSON files: absent and null are absent; a wrong type fails.
struct Members {
  const JSONValue& object;
  bool ok = true;

  const JSONValue* get(const char* key) {
    const JSONValue* v = object.find(key);
    return v && !v->isNull() ? v : nullptr;
  }
  std::optional<std::string> string(const char* key) {
    const JSONValue* v = get(key);
    if (!v) return std::nullopt;
    if (!v->isString()) return ok = false, std::nullopt;
    return *v->string();
  }
  std::optional<double> date(const char* key) {
    auto text = string(key);
    if (!text) return std::nullopt;
    auto d = platform::parseISO8601(*text);
    if (!d) ok = false;
    return d;
  }
  std::optional<int64_t> integer(const char* key) {
    const JSONValue* v = get(key);
    if (!v) return std::nullopt;
    const double* n = v->number();
    if (!n || *n > 9007199254740992.0 || *n < -9007199254740992.0 || *n != double(int64_t(*n))) {
      return ok = false, std::nullopt;
    }
    return int64_t(*n);
  }
  std::optional<bool> boolean(const char* key) {
    const JSONValue* v = get(key);
    if (!v) return std::nullopt;
    if (!v->isBool()) return ok = false, std::nullopt;
    return *v->boolean();
  }
};

void member(std::string& out, bool& first, const char* key) {
  if (!first) out += ',';
  first = false;
  out += '"';
  out += key;
  out += "\":";
}

void text(std::string& out, const std::string& s) { encodeJSONString(s, out); }

}  // namespace

IndexSummary::IndexSummary(const BaseIndex& index) : indexedAt(index.indexedAt) {
  for (const auto& e : index.entries) {
    files.push_back({e.filePath, e.fileModified, e.filename, e.readerVersion, e.chunkerVersion});
  }
  skipped.emplace();
  if (index.skippedFiles) {
    for (const auto& s : *index.skippedFiles) {
      skippedReasons.push_back(s.reason);
      skipped->push_back({s.path, s.reason, s.filename, s.fileModified});
    }
  }
  hasEmbeddings = index.hasEmbeddings();
  places = index.placesVersion;
}

bool IndexSummary::isCurrent() const {
  if (!hasEmbeddings || !skipped) return false;
  for (const auto& f : files) {
    if (!f.name) return false;
  }
  return true;
}

std::set<std::string> IndexSummary::fileNames() const {
  std::set<std::string> names;
  for (const auto& f : files) names.insert(f.name ? *f.name : platform::lastPathComponent(f.path));
  return names;
}

std::vector<SkippedFile> IndexSummary::failedFiles() const {
  std::vector<SkippedFile> out;
  if (skipped) {
    for (const auto& s : *skipped) {
      std::string name = s.name ? *s.name
                         : s.path ? platform::lastPathComponent(*s.path)
                                  : std::string("a file");
      out.push_back({name, s.reason, s.path, s.modified});
    }
  } else {
    for (const auto& reason : skippedReasons) out.push_back({"a file", reason, {}, {}});
  }
  return out;
}

std::optional<IndexSummary> IndexSummary::decode(std::string_view json) {
  JSONValue root;
  try {
    root = JSONValue::parse(json);
  } catch (const JSONParseError&) {
    return std::nullopt;
  }
  if (!root.isObject()) return std::nullopt;
  Members m{root};
  IndexSummary s;
  auto at = m.date("indexedAt");
  const JSONValue* files = m.get("files");
  const JSONValue* reasons = m.get("skippedReasons");
  if (!at || !files || !files->isArray() || !reasons || !reasons->isArray()) return std::nullopt;
  s.indexedAt = *at;
  for (const auto& item : *files->array()) {
    if (!item.isObject()) return std::nullopt;
    Members f{item};
    auto path = f.string("path");
    if (!path) return std::nullopt;
    s.files.push_back({*path, f.date("modified"), f.string("name"), f.integer("reader"),
                       f.integer("chunker")});
    if (!f.ok) return std::nullopt;
  }
  for (const auto& item : *reasons->array()) {
    if (!item.isString()) return std::nullopt;
    s.skippedReasons.push_back(*item.string());
  }
  if (const JSONValue* skipped = m.get("skipped")) {
    if (!skipped->isArray()) return std::nullopt;
    s.skipped.emplace();
    for (const auto& item : *skipped->array()) {
      if (!item.isObject()) return std::nullopt;
      Members k{item};
      auto reason = k.string("reason");
      if (!reason) return std::nullopt;
      s.skipped->push_back({k.string("path"), *reason, k.string("name"), k.date("modified")});
      if (!k.ok) return std::nullopt;
    }
  }
  s.hasEmbeddings = m.boolean("hasEmbeddings");
  s.places = m.integer("places");
  if (!m.ok) return std::nullopt;
  return s;
}

std::string IndexSummary::encode() const {
  std::string out = "{";
  bool first = true;
  member(out, first, "indexedAt");
  text(out, platform::iso8601(indexedAt));
  member(out, first, "files");
  out += '[';
  for (size_t i = 0; i < files.size(); ++i) {
    const File& f = files[i];
    if (i) out += ',';
    out += '{';
    bool inner = true;
    member(out, inner, "path");
    text(out, f.path);
    if (f.modified) member(out, inner, "modified"), text(out, platform::iso8601(*f.modified));
    if (f.name) member(out, inner, "name"), text(out, *f.name);
    if (f.reader) member(out, inner, "reader"), out += std::to_string(*f.reader);
    if (f.chunker) member(out, inner, "chunker"), out += std::to_string(*f.chunker);
    out += '}';
  }
  out += ']';
  member(out, first, "skippedReasons");
  out += '[';
  for (size_t i = 0; i < skippedReasons.size(); ++i) {
    if (i) out += ',';
    text(out, skippedReasons[i]);
  }
  out += ']';
  if (skipped) {
    member(out, first, "skipped");
    out += '[';
    for (size_t i = 0; i < skipped->size(); ++i) {
      const Skip& k = (*skipped)[i];
      if (i) out += ',';
      out += '{';
      bool inner = true;
      if (k.path) member(out, inner, "path"), text(out, *k.path);
      member(out, inner, "reason");
      text(out, k.reason);
      if (k.name) member(out, inner, "name"), text(out, *k.name);
      if (k.modified) member(out, inner, "modified"), text(out, platform::iso8601(*k.modified));
      out += '}';
    }
    out += ']';
  }
  if (hasEmbeddings) member(out, first, "hasEmbeddings"), out += *hasEmbeddings ? "true" : "false";
  if (places) member(out, first, "places"), out += std::to_string(*places);
  out += '}';
  return out;
}

}  // namespace zelk
