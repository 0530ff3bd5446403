#include "bases/base_indexer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <set>

#include "bases/index_checksum.h"
#include "platform/atomic_file.h"
#include "platform/iso_date.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "protocol/json_value.h"

namespace zelk {
namespace {

FileStamp stampOf(const struct stat& st) {
  return {int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec, int64_t(st.st_size),
          uint64_t(st.st_ino)};
}

using Fd = platform::UniqueFd;

bool readExactly(int fd, char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

// A whole file with the stamp of what was read (taken from the open file, so the two agree).
std::optional<std::string> readWithStamp(const std::string& path, FileStamp& stamp) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  stamp = stampOf(st);
  std::string data(size_t(st.st_size), '\0');
  if (!readExactly(fd.get(), data.data(), data.size())) return std::nullopt;
  return data;
}

std::string errorText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Writes the floats of the vectors into path (created or truncated) and flushes them to disk.
// Returns the checksum of the bytes written. Throws IndexSaveError; the file is removed then.
std::string writeFloats(const std::vector<std::vector<float>>& vectors, const std::string& path) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) throw IndexSaveError(errorText("cannot create", path));
  IndexChecksum sum;
  std::vector<char> buffer;
  buffer.reserve(1 << 20);
  auto flush = [&] {
    if (!writeAll(fd.get(), buffer.data(), buffer.size())) {
      std::string message = errorText("cannot write", path);
      ::unlink(path.c_str());
      throw IndexSaveError(message);
    }
    buffer.clear();
  };
  for (const auto& v : vectors) {
    const char* bytes = reinterpret_cast<const char*>(v.data());
    size_t size = v.size() * sizeof(float);
    sum.update(bytes, size);
    buffer.insert(buffer.end(), bytes, bytes + size);
    if (buffer.size() >= (1 << 20)) flush();
  }
  flush();
  if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
    std::string message = errorText("cannot write", path);
    ::unlink(path.c_str());
    throw IndexSaveError(message);
  }
  return sum.text();
}

void writeTextDurably(const std::string& path, const std::string& text) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) throw IndexSaveError(errorText("cannot create", path));
  if (!writeAll(fd.get(), text.data(), text.size()) || ::fsync(fd.get()) != 0 ||
      ::close(fd.release()) != 0) {
    std::string message = errorText("cannot write", path);
    ::unlink(path.c_str());
    throw IndexSaveError(message);
  }
}

void syncDirectory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

bool allOfLength(const std::vector<std::vector<float>>& vectors, size_t d) {
  for (const auto& v : vectors) {
    if (v.size() != d) return false;
  }
  return true;
}

}  // namespace

std::optional<FileStamp> fileStamp(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return stampOf(st);
}

std::optional<VectorStore::Read> VectorStore::read(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  Read out;
  out.stamp = stampOf(st);
  size_t count = size_t(st.st_size) / sizeof(float);
  try {
    out.floats.resize(count);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  char* bytes = reinterpret_cast<char*>(out.floats.data());
  if (!readExactly(fd.get(), bytes, count * sizeof(float))) return std::nullopt;
  IndexChecksum sum;
  sum.update(bytes, count * sizeof(float));
  // The checksum covers the whole file, a stray remainder included.
  size_t rest = size_t(st.st_size) - count * sizeof(float);
  if (rest > 0) {
    char tail[4];
    if (!readExactly(fd.get(), tail, rest)) return std::nullopt;
    sum.update(tail, rest);
  }
  out.checksum = sum.text();
  return out;
}

void VectorStore::write(const std::vector<std::vector<float>>& vectors, const std::string& path) {
  std::string temp = path + ".tmp-" + std::to_string(::getpid());
  writeFloats(vectors, temp);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    std::string message = errorText("cannot replace", path);
    ::unlink(temp.c_str());
    throw IndexSaveError(message);
  }
}

BaseIndexer& BaseIndexer::shared() {
  static BaseIndexer* instance = new BaseIndexer(platform::indexesDir());  // lives with the process
  return *instance;
}

BaseIndexer::BaseIndexer(std::string indexesDir) : indexesURL_(std::move(indexesDir)) {
  platform::createDirectories(indexesURL_);
}

std::string BaseIndexer::fileURL(const std::string& baseID, const std::string& suffix) const {
  return platform::joinPath(indexesURL_, baseID + suffix);
}

std::shared_ptr<const BaseIndex> BaseIndexer::load(const std::string& baseID) {
  std::string path = fileURL(baseID, ".json");
  std::optional<FileStamp> stamp = fileStamp(path);
  if (stamp) {
    std::lock_guard<std::mutex> hold(cacheLock_);
    auto it = cache_.find(baseID);
    if (it != cache_.end() && it->second.indexModified == *stamp) return it->second.index;
  }
  FileStamp readStamp;
  auto text = readWithStamp(path, readStamp);
  if (!text) return nullptr;
  auto decoded = BaseIndex::decode(*text);
  text.reset();
  if (!decoded) return nullptr;
  auto index = std::make_shared<const BaseIndex>(std::move(*decoded));
  if (stamp) {
    std::lock_guard<std::mutex> hold(cacheLock_);
    Cached& record = cache_[baseID];
    record = Cached{};
    record.index = index;
    record.indexModified = readStamp;
  }
  return index;
}

std::shared_ptr<const std::vector<float>> BaseIndexer::cachedFlatVectors(
    const std::string& baseID, std::shared_ptr<const BaseIndex> index) {
  if (!index) index = load(baseID);
  if (!index || !index->hasEmbeddings()) return nullptr;
  std::string path = fileURL(baseID, ".vec");
  std::optional<FileStamp> stamp = fileStamp(path);
  if (!stamp) return nullptr;
  {
    std::lock_guard<std::mutex> hold(cacheLock_);
    auto it = cache_.find(baseID);
    if (it != cache_.end() && it->second.index == index) {
      if (it->second.flat && it->second.flatModified == stamp) return it->second.flat;
      if (it->second.flatRefused == stamp) return nullptr;
    }
  }
  auto read = VectorStore::read(path);
  if (!read) return nullptr;
  bool belongs = read->floats.size() == size_t(*index->vectorDimension) * index->totalChunks() &&
                 (!index->vectorsChecksum || *index->vectorsChecksum == read->checksum);
  std::shared_ptr<const std::vector<float>> flat;
  if (belongs) flat = std::make_shared<const std::vector<float>>(std::move(read->floats));
  std::lock_guard<std::mutex> hold(cacheLock_);
  auto it = cache_.find(baseID);
  if (it != cache_.end() && it->second.index == index) {
    if (belongs) {
      it->second.flat = flat;
      it->second.flatModified = read->stamp;
      it->second.flatRefused.reset();
    } else {
      it->second.flatRefused = read->stamp;
    }
  }
  return flat;
}

void BaseIndexer::save(BaseIndex index, const std::vector<std::vector<float>>* vectors,
                       const std::vector<std::vector<float>>* places) {
  platform::createDirectories(indexesURL_);
  const std::string& id = index.baseID;
  std::string json = fileURL(id, ".json");
  index.vectorsChecksum.reset();
  index.placesChecksum.reset();
  if (!vectors) {
    // A vectors file on disk would belong to an earlier index; one with embeddings needs its own.
    if (index.hasEmbeddings()) {
      throw IndexSaveError("an index with embeddings is saved with its vectors: " + id);
    }
    index.placesVersion.reset();
    if (!platform::writeFileAtomically(json, index.encode())) {
      throw IndexSaveError("cannot write " + json);
    }
    evictCache(id);
    writeSummary(index);
    return;
  }
  size_t d = index.vectorDimension && *index.vectorDimension > 0 ? size_t(*index.vectorDimension)
                                                                  : 0;
  if (d == 0 || vectors->size() != index.totalChunks() || !allOfLength(*vectors, d)) {
    throw IndexSaveError("the vectors do not match the index of " + id);
  }
  if (places && (places->size() != index.entries.size() || !allOfLength(*places, d))) {
    throw IndexSaveError("the place vectors do not match the index of " + id);
  }
  std::string vec = fileURL(id, ".vec"), place = fileURL(id, ".place");
  std::string vecNew = vec + ".new", placeNew = place + ".new", jsonNew = json + ".new";
  try {
    index.vectorsChecksum = writeFloats(*vectors, vecNew);
    if (places) {
      index.placesChecksum = writeFloats(*places, placeNew);
    } else {
      index.placesVersion.reset();
    }
    writeTextDurably(jsonNew, index.encode());
  } catch (...) {
    ::unlink(vecNew.c_str());
    ::unlink(placeNew.c_str());
    ::unlink(jsonNew.c_str());
    throw;
  }
  auto swap = [&](const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      std::string message = errorText("cannot replace", to);
      throw IndexSaveError(message);
    }
  };
  swap(vecNew, vec);
  if (places) swap(placeNew, place);
  swap(jsonNew, json);
  syncDirectory(indexesURL_);
  evictCache(id);
  writeSummary(index);
}

void BaseIndexer::writeSummary(const BaseIndex& index) {
  platform::writeFileAtomically(fileURL(index.baseID, ".summary.json"),
                                IndexSummary(index).encode());
}

std::optional<IndexSummary> BaseIndexer::summary(const std::string& baseID) {
  std::optional<IndexSummary> decoded;
  if (auto text = platform::readFile(fileURL(baseID, ".summary.json"), 1 << 28)) {
    decoded = IndexSummary::decode(*text);
    if (decoded && decoded->isCurrent()) return decoded;
  }
  std::optional<FileStamp> stamp = fileStamp(fileURL(baseID, ".json"));
  if (stamp && stamp->size <= kSummaryRebuildLimit) {
    bool wasCached = false;
    withCached(baseID, [&](Cached* c) { wasCached = c != nullptr; });
    if (auto index = load(baseID)) {
      writeSummary(*index);
      // A status query must not leave a large index in memory; one a query loaded stays.
      if (!wasCached) evictCache(baseID);
      return IndexSummary(*index);
    }
  }
  return decoded;
}

void BaseIndexer::writeIndexingStatus(const std::string& baseID, int64_t done, int64_t total) {
  JSONObject marker{{"done", JSONValue(double(done))},
                    {"total", JSONValue(double(total))},
                    {"pid", JSONValue(double(::getpid()))},
                    {"updated", JSONValue(platform::now())}};
  platform::createDirectories(indexesURL_);
  platform::writeFileAtomically(fileURL(baseID, ".indexing"), JSONValue(marker).encode(), false);
}

std::optional<BaseIndexer::Status> BaseIndexer::indexingStatus(const std::string& baseID) {
  std::string path = fileURL(baseID, ".indexing");
  auto text = platform::readFile(path, 1 << 20);
  if (!text) return std::nullopt;
  JSONValue value;
  try {
    value = JSONValue::parse(*text);
  } catch (const JSONParseError&) {
    return std::nullopt;
  }
  if (!value.isObject()) return std::nullopt;
  auto integer = [&](const char* key) -> std::optional<int64_t> {
    const JSONValue* v = value.find(key);
    const double* n = v ? v->number() : nullptr;
    if (!n || std::fabs(*n) > 9007199254740992.0 || *n != std::floor(*n)) return std::nullopt;
    return int64_t(*n);
  };
  auto pid = integer("pid");
  if (pid && *pid > 0 && *pid <= INT32_MAX && platform::processExists(pid_t(*pid))) {
    return Status{integer("done").value_or(0), integer("total").value_or(0)};
  }
  ::unlink(path.c_str());
  return std::nullopt;
}

void BaseIndexer::removeIndexingStatus(const std::string& baseID) {
  ::unlink(fileURL(baseID, ".indexing").c_str());
}

void BaseIndexer::remove(const std::string& baseID) {
  for (const char* suffix : {".json", ".vec", ".place", ".summary.json", ".json.new", ".vec.new",
                             ".place.new"}) {
    ::unlink(fileURL(baseID, suffix).c_str());
  }
  evictCache(baseID);
}

void BaseIndexer::evictCache(const std::string& baseID) {
  std::lock_guard<std::mutex> hold(cacheLock_);
  cache_.erase(baseID);
}

namespace {

std::vector<BaseManager::ResolvedFile> filesNotIn(
    const std::vector<BaseManager::ResolvedFile>& files, const std::set<std::string>& names) {
  std::vector<BaseManager::ResolvedFile> out;
  for (const auto& f : files) {
    if (!names.count(f.name)) out.push_back(f);
  }
  return out;
}

}  // namespace

std::vector<BaseManager::ResolvedFile> unindexedFiles(
    const std::vector<BaseManager::ResolvedFile>& files, const BaseIndex& index) {
  std::set<std::string> names;
  for (const auto& e : index.entries) names.insert(e.filename);
  if (index.skippedFiles) {
    for (const auto& s : *index.skippedFiles) names.insert(s.filename);
  }
  return filesNotIn(files, names);
}

std::vector<BaseManager::ResolvedFile> unindexedFiles(
    const std::vector<BaseManager::ResolvedFile>& files, const IndexSummary& summary) {
  std::set<std::string> names = summary.fileNames();
  for (const auto& s : summary.failedFiles()) names.insert(s.filename);
  return filesNotIn(files, names);
}

}  // namespace zelk
