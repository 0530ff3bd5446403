#include "bases/base_index.h"

#include <cctype>
#include <limits>

#include "bases/index_json.h"
#include "platform/iso_date.h"
#include "platform/uuid.h"
#include "protocol/json_value.h"

namespace zelk {
namespace {

using index_json::Reader;

constexpr int64_t kIntMin = std::numeric_limits<int32_t>::min();
constexpr int64_t kIntMax = std::numeric_limits<int32_t>::max();
// Integers above 2^53 cannot come through a double exactly.
constexpr int64_t kInt64Max = int64_t(1) << 53;

bool readDate(Reader& r, double& out) {
  std::string text;
  if (!r.readString(text)) return false;
  auto date = platform::parseISO8601(text);
  if (!date) return r.fail();
  out = *date;
  return true;
}

bool readStrings(Reader& r, std::vector<std::string>& out) {
  out.clear();
  if (!r.beginArray()) return false;
  bool first = true;
  while (r.nextElement(first)) {
    out.emplace_back();
    if (!r.readString(out.back())) return false;
  }
  return r.ok();
}

// Optional members: null reads as absent, as Swift's decoders do.
template <class T, class F>
bool optional(Reader& r, std::optional<T>& out, F read) {
  if (r.readNull()) {
    out.reset();
    return true;
  }
  T value{};
  if (!read(value)) return false;
  out = std::move(value);
  return true;
}

bool readSkipped(Reader& r, SkippedFile& file) {
  if (!r.beginObject()) return false;
  bool first = true, hasName = false, hasReason = false;
  std::string key;
  while (r.nextMember(first, key)) {
    if (key == "filename") {
      if (!r.readString(file.filename)) return false;
      hasName = true;
    } else if (key == "reason") {
      if (!r.readString(file.reason)) return false;
      hasReason = true;
    } else if (key == "path") {
      if (!optional(r, file.path, [&](std::string& v) { return r.readString(v); })) return false;
    } else if (key == "fileModified") {
      if (!optional(r, file.fileModified, [&](double& v) { return readDate(r, v); })) {
        return false;
      }
    } else if (!r.skipValue()) {
      return false;
    }
  }
  return r.ok() && hasName && hasReason;
}

bool readEntry(Reader& r, BaseIndex::IndexEntry& entry) {
  if (!r.beginObject()) return false;
  bool first = true;
  unsigned required = 0;
  std::string key;
  auto integer = [&](std::optional<int64_t>& out, int64_t max) {
    return optional(r, out, [&](int64_t& v) { return r.readInteger(v, -max, max); });
  };
  while (r.nextMember(first, key)) {
    bool done;
    if (key == "id") {
      done = r.readString(entry.id), required |= 1;
    } else if (key == "filename") {
      done = r.readString(entry.filename), required |= 2;
    } else if (key == "filePath") {
      done = r.readString(entry.filePath), required |= 4;
    } else if (key == "sections") {
      done = readStrings(r, entry.sections), required |= 8;
    } else if (key == "chunks") {
      entry.chunks.clear();
      done = r.readNull() || readStrings(r, entry.chunks);
    } else if (key == "originalTokens") {
      done = r.readInteger(entry.originalTokens, -kInt64Max, kInt64Max), required |= 16;
    } else if (key == "optimizedTokens") {
      done = r.readInteger(entry.optimizedTokens, -kInt64Max, kInt64Max), required |= 32;
    } else if (key == "ocrPages") {
      done = integer(entry.ocrPages, kIntMax);
    } else if (key == "fileModified") {
      done = optional(r, entry.fileModified, [&](double& v) { return readDate(r, v); });
    } else if (key == "fileSize") {
      done = integer(entry.fileSize, kInt64Max);
    } else if (key == "readerVersion") {
      done = integer(entry.readerVersion, kIntMax);
    } else if (key == "chunkerVersion") {
      done = integer(entry.chunkerVersion, kIntMax);
    } else {
      done = r.skipValue();
    }
    if (!done) return r.fail();
  }
  return r.ok() && required == 63;
}

void quoted(const std::string& text, std::string& out) { encodeJSONString(text, out); }

// Members of one pretty-printed object at a given indentation, written in order.
class ObjectWriter {
 public:
  ObjectWriter(std::string& out, int indent) : out_(out), indent_(indent) { out_ += "{"; }
  std::string& key(const char* name) {
    out_ += first_ ? "\n" : ",\n";
    first_ = false;
    out_.append(size_t(indent_ + 2), ' ');
    out_ += '"';
    out_ += name;
    out_ += "\" : ";
    return out_;
  }
  void string(const char* name, const std::string& value) { quoted(value, key(name)); }
  void integer(const char* name, int64_t value) { key(name) += std::to_string(value); }
  void date(const char* name, double value) { quoted(platform::iso8601(value), key(name)); }
  void strings(const char* name, const std::vector<std::string>& list) {
    std::string& out = key(name);
    if (list.empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (size_t i = 0; i < list.size(); ++i) {
      out.append(size_t(indent_ + 4), ' ');
      quoted(list[i], out);
      out += i + 1 < list.size() ? ",\n" : "\n";
    }
    out.append(size_t(indent_ + 2), ' ');
    out += "]";
  }
  void close() {
    if (!first_) {
      out_ += "\n";
      out_.append(size_t(indent_), ' ');
    }
    out_ += "}";
  }

 private:
  std::string& out_;
  int indent_;
  bool first_ = true;
};

}  // namespace

size_t BaseIndex::totalChunks() const {
  size_t total = 0;
  for (const auto& e : entries) total += e.chunks.size();
  return total;
}

bool BaseIndex::hasEmbeddings() const {
  return version && *version >= kVersion && vectorDimension && *vectorDimension > 0;
}

std::optional<BaseIndex> BaseIndex::decode(std::string_view json) {
  Reader r(json);
  BaseIndex index;
  if (!r.beginObject()) return std::nullopt;
  bool first = true, hasID = false, hasDate = false, hasEntries = false;
  std::string key;
  auto integer = [&](std::optional<int64_t>& out) {
    return optional(r, out, [&](int64_t& v) { return r.readInteger(v, kIntMin, kIntMax); });
  };
  auto text = [&](std::optional<std::string>& out) {
    return optional(r, out, [&](std::string& v) { return r.readString(v); });
  };
  while (r.nextMember(first, key)) {
    bool done;
    if (key == "version") {
      done = integer(index.version);
    } else if (key == "baseID") {
      std::string id;
      done = r.readString(id);
      if (done) {
        auto uuid = platform::canonicalUUID(id);
        done = uuid.has_value();
        if (uuid) index.baseID = *uuid;
      }
      hasID = true;
    } else if (key == "indexedAt") {
      done = readDate(r, index.indexedAt), hasDate = true;
    } else if (key == "embeddingModel") {
      done = text(index.embeddingModel);
    } else if (key == "vectorDimension") {
      done = integer(index.vectorDimension);
    } else if (key == "entries") {
      hasEntries = true;
      index.entries.clear();
      done = r.beginArray();
      bool firstEntry = true;
      while (done && r.nextElement(firstEntry)) {
        index.entries.emplace_back();
        done = readEntry(r, index.entries.back());
      }
      done = done && r.ok();
    } else if (key == "skippedFiles") {
      if (r.readNull()) {
        index.skippedFiles.reset();
        done = true;
      } else {
        index.skippedFiles.emplace();
        done = r.beginArray();
        bool firstSkip = true;
        while (done && r.nextElement(firstSkip)) {
          index.skippedFiles->emplace_back();
          done = readSkipped(r, index.skippedFiles->back());
        }
        done = done && r.ok();
      }
    } else if (key == "placesVersion") {
      done = integer(index.placesVersion);
    } else if (key == "vectorsChecksum") {
      done = text(index.vectorsChecksum);
    } else if (key == "placesChecksum") {
      done = text(index.placesChecksum);
    } else {
      done = r.skipValue();
    }
    if (!done) return std::nullopt;
  }
  if (!r.ok() || !r.atEnd() || !hasID || !hasDate || !hasEntries) return std::nullopt;
  return index;
}

std::string BaseIndex::encode() const {
  size_t estimate = 256;
  for (const auto& e : entries) {
    estimate += 512 + e.filename.size() + e.filePath.size();
    for (const auto& s : e.sections) estimate += s.size() + 16;
    for (const auto& c : e.chunks) estimate += c.size() + 16;
  }
  std::string out;
  out.reserve(estimate + estimate / 16);
  ObjectWriter top(out, 0);
  if (version) top.integer("version", *version);
  top.string("baseID", baseID);
  top.date("indexedAt", indexedAt);
  if (embeddingModel) top.string("embeddingModel", *embeddingModel);
  if (vectorDimension) top.integer("vectorDimension", *vectorDimension);
  std::string& list = top.key("entries");
  if (entries.empty()) {
    list += "[]";
  } else {
    list += "[\n";
    for (size_t i = 0; i < entries.size(); ++i) {
      const IndexEntry& e = entries[i];
      out += "    ";
      ObjectWriter w(out, 4);
      w.string("id", e.id);
      w.string("filename", e.filename);
      w.string("filePath", e.filePath);
      w.strings("sections", e.sections);
      w.strings("chunks", e.chunks);
      w.integer("originalTokens", e.originalTokens);
      w.integer("optimizedTokens", e.optimizedTokens);
      if (e.ocrPages) w.integer("ocrPages", *e.ocrPages);
      if (e.fileModified) w.date("fileModified", *e.fileModified);
      if (e.fileSize) w.integer("fileSize", *e.fileSize);
      if (e.readerVersion) w.integer("readerVersion", *e.readerVersion);
      if (e.chunkerVersion) w.integer("chunkerVersion", *e.chunkerVersion);
      w.close();
      out += i + 1 < entries.size() ? ",\n" : "\n";
    }
    out += "  ]";
  }
  if (skippedFiles) {
    std::string& skips = top.key("skippedFiles");
    if (skippedFiles->empty()) {
      skips += "[]";
    } else {
      skips += "[\n";
      for (size_t i = 0; i < skippedFiles->size(); ++i) {
        const SkippedFile& s = (*skippedFiles)[i];
        out += "    ";
        ObjectWriter w(out, 4);
        w.string("filename", s.filename);
        w.string("reason", s.reason);
        if (s.path) w.string("path", *s.path);
        if (s.fileModified) w.date("fileModified", *s.fileModified);
        w.close();
        out += i + 1 < skippedFiles->size() ? ",\n" : "\n";
      }
      out += "  ]";
    }
  }
  if (placesVersion) top.integer("placesVersion", *placesVersion);
  if (vectorsChecksum) top.string("vectorsChecksum", *vectorsChecksum);
  if (placesChecksum) top.string("placesChecksum", *placesChecksum);
  top.close();
  return out;
}

}  // namespace zelk
