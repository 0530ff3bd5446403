// The shared sentence embedder and the installation of its model files.
#include "retrieval/embedder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <numeric>
#include <stdexcept>

#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace zelk {
namespace {

bool fileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

WordPieceTokenizer loadTokenizer(const std::string& vocabPath) {
  std::optional<WordPieceTokenizer> tokenizer = WordPieceTokenizer::fromFile(vocabPath);
  if (!tokenizer) throw EmbedderError(EmbedderError::Kind::vocabLoadFailed);
  return std::move(*tokenizer);
}

// Copies source to a temporary file beside target; returns its path. The caller renames it into
// place. Throws std::runtime_error, leaving nothing behind.
std::string stageCopy(const std::string& source, const std::string& target) {
  auto fail = [&](const std::string& what) {
    throw std::runtime_error("cannot copy " + source + " to " + target + " (" + what + ")");
  };
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) fail(std::strerror(errno));
  std::string temp = target + ".partial-XXXXXX";
  int out = mkstemp(temp.data());
  if (out < 0) {
    int err = errno;
    close(in);
    fail(std::strerror(err));
  }
  std::vector<char> buffer(1 << 20);
  std::string error;
  while (error.empty()) {
    ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = std::strerror(errno);
    if (got <= 0) break;
    for (ssize_t done = 0; done < got && error.empty();) {
      ssize_t put = write(out, buffer.data() + done, size_t(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) error = std::strerror(errno);
      else done += put;
    }
  }
  if (error.empty() && fsync(out) != 0) error = std::strerror(errno);
  close(in);
  if (close(out) != 0 && error.empty()) error = std::strerror(errno);
  if (error.empty() && chmod(temp.c_str(), 0644) != 0) error = std::strerror(errno);
  if (!error.empty()) {
    unlink(temp.c_str());
    fail(error);
  }
  return temp;
}

void commit(const std::string& temp, const std::string& target) {
  if (rename(temp.c_str(), target.c_str()) != 0) {
    int err = errno;
    unlink(temp.c_str());
    throw std::runtime_error("cannot replace " + target + " (" + std::strerror(err) + ")");
  }
}

void copyAtomically(const std::string& source, const std::string& target) {
  commit(stageCopy(source, target), target);
}

bool finite(const std::vector<float>& v) {
  return !v.empty() && std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); });
}

std::string megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

}  // namespace

const char* EmbedderError::what() const noexcept {
  switch (kind_) {
    case Kind::vocabLoadFailed:
      return "vocabLoadFailed";
    case Kind::bundledModelMissing:
      return "bundledModelMissing";
    case Kind::noOutput:
      return "noOutput";
  }
  return "noOutput";
}

std::mutex Embedder::cacheLock;
std::shared_ptr<Embedder> Embedder::cached;

Embedder::Embedder(const std::string& modelPath, const std::string& vocabPath)
    : model_(BertEncoder::load(modelPath)), tokenizer_(loadTokenizer(vocabPath)) {
  int32_t top = tokenizer_.maxId();
  if (top >= model_->config().vocabSize) {
    throw ModelLoadError(vocabPath + ": token id " + std::to_string(top) +
                         " has no embedding in a model of " +
                         std::to_string(model_->config().vocabSize) + " word pieces");
  }
}

Embedder::Locations Embedder::installedLocations() {
  std::string dir = platform::modelsDir();
  return {platform::joinPath(dir, kModelFile), platform::joinPath(dir, kVocabFile)};
}

std::string Embedder::defaultBundle() {
  std::optional<std::string> exe = platform::selfExecutable();
  if (!exe || exe->empty()) return "";
  std::string prefix = platform::parentPath(platform::parentPath(*exe));
  return platform::joinPath(platform::joinPath(platform::joinPath(prefix, "share"), "zelk"),
                            "models");
}

std::shared_ptr<Embedder> Embedder::makeSharedIfInstalled() {
  static std::string lastFailure;  // guarded by cacheLock
  {
    std::lock_guard<std::mutex> hold(cacheLock);
    if (cached) return cached;
  }
  Locations files = installedLocations();
  if (!fileExists(files.model) || !fileExists(files.vocab)) return nullptr;
  std::string failure;
  try {
    auto fresh = std::make_shared<Embedder>(files.model, files.vocab);
    std::lock_guard<std::mutex> hold(cacheLock);
    if (!cached) cached = fresh;
    lastFailure.clear();
    return cached;
  } catch (const EmbedderError& e) {
    failure = files.vocab + " gives no tokens";
  } catch (const std::exception& e) {
    failure = e.what();
  }
  std::lock_guard<std::mutex> hold(cacheLock);
  if (failure != lastFailure) {
    std::cerr << "zelk embedder: cannot load the model, searching by keywords only: " << failure
              << std::endl;
    lastFailure = failure;
  }
  return nullptr;
}

std::shared_ptr<Embedder> Embedder::makeShared(const std::string& bundle) {
  Locations files = installIfNeeded(bundle);
  auto fresh = std::make_shared<Embedder>(files.model, files.vocab);
  std::lock_guard<std::mutex> hold(cacheLock);
  cached = fresh;
  return fresh;
}

void Embedder::resetShared() {
  std::lock_guard<std::mutex> hold(cacheLock);
  cached.reset();
}

Embedder::Locations Embedder::installIfNeeded(const std::string& bundle) {
  std::string dir = platform::modelsDir();
  if (!platform::createDirectories(dir)) {
    throw std::runtime_error("cannot create the models directory " + dir);
  }
  Locations files = installedLocations();
  if (!fileExists(files.vocab)) {
    std::string source = platform::joinPath(bundle, kVocabFile);
    if (bundle.empty() || !fileExists(source)) {
      throw EmbedderError(EmbedderError::Kind::bundledModelMissing);
    }
    copyAtomically(source, files.vocab);
  }
  if (fileExists(files.model)) return files;
  std::string source = platform::joinPath(bundle, kModelFile);
  if (bundle.empty() || !fileExists(source)) {
    throw EmbedderError(EmbedderError::Kind::bundledModelMissing);
  }
  copyAtomically(source, files.model);
  return files;
}

std::string ModelInstaller::install(const std::string& folder, const std::string& modelsDir,
                                    const Expected& expected) {
  std::string model = platform::joinPath(folder, Embedder::kModelFile);
  std::string vocab = platform::joinPath(folder, Embedder::kVocabFile);
  if (!fileExists(model)) throw std::runtime_error("no model.safetensors in " + folder);
  if (!fileExists(vocab)) throw std::runtime_error("no vocab.txt in " + folder);
  std::unique_ptr<Embedder> embedder;
  try {
    embedder = std::make_unique<Embedder>(model, vocab);
  } catch (const EmbedderError&) {
    throw std::runtime_error(vocab + " holds no tokens");
  }
  const BertConfig& cfg = embedder->model().config();
  if (cfg.hidden != expected.hidden || cfg.layers != expected.layers ||
      cfg.intermediate != expected.intermediate || cfg.maxPositions != expected.maxPositions) {
    throw ModelLoadError(
        model + ": a model of hidden size " + std::to_string(cfg.hidden) + ", " +
        std::to_string(cfg.layers) + " layers, intermediate size " +
        std::to_string(cfg.intermediate) + " and " + std::to_string(cfg.maxPositions) +
        " positions is not bge-small-en-v1.5 (hidden size " + std::to_string(expected.hidden) +
        ", " + std::to_string(expected.layers) + " layers, intermediate size " +
        std::to_string(expected.intermediate) + ", " + std::to_string(expected.maxPositions) +
        " positions)");
  }
  std::vector<float> probe = embedder->embed("The quick brown fox jumps over the lazy dog.");
  (void)probe;  // embed throws noOutput when the weights give no finite vector

  if (!platform::createDirectories(modelsDir)) {
    throw std::runtime_error("cannot create the models directory " + modelsDir);
  }
  std::string modelTarget = platform::joinPath(modelsDir, Embedder::kModelFile);
  std::string vocabTarget = platform::joinPath(modelsDir, Embedder::kVocabFile);
  // Both copies are staged before either replaces an installed file.
  std::string modelTemp = stageCopy(model, modelTarget);
  std::string vocabTemp;
  try {
    vocabTemp = stageCopy(vocab, vocabTarget);
  } catch (...) {
    unlink(modelTemp.c_str());
    throw;
  }
  try {
    commit(modelTemp, modelTarget);
  } catch (...) {
    unlink(vocabTemp.c_str());
    throw;
  }
  commit(vocabTemp, vocabTarget);

  struct stat st {};
  stat(modelTarget.c_str(), &st);
  return "installed model.safetensors (" + megabytes(double(st.st_size)) + ", " +
         std::to_string(cfg.layers) + " layers, hidden size " + std::to_string(cfg.hidden) +
         ", " + std::to_string(cfg.vocabSize) + " word pieces) and vocab.txt (" +
         std::to_string(embedder->tokenizer().tokenCount()) + " tokens) from " + folder +
         " into " + modelsDir;
}

int Embedder::installModelMain(const std::string& folder) {
  try {
    std::string report = ModelInstaller::install(folder, platform::modelsDir(), {});
    resetShared();
    std::cout << "zelk-mcp: " << report << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "zelk-mcp --install-model: " << e.what() << std::endl;
    return 1;
  }
}

std::vector<int32_t> Embedder::tokenIds(const std::string& text) const {
  return tokenizer_.encode(text, true, std::min(kMaxSequence, model_->config().maxPositions));
}

std::vector<float> Embedder::embed(const std::string& text) const {
  std::vector<std::vector<float>> out = model_->encode({tokenIds(text)});
  if (out.size() != 1 || !finite(out[0])) throw EmbedderError(EmbedderError::Kind::noOutput);
  return std::move(out[0]);
}

std::vector<std::vector<float>> Embedder::embed(
    const std::vector<std::string>& texts, int batchSize, const std::function<bool()>& isCancelled,
    const std::function<void(size_t, size_t)>& progress) const {
  const size_t size = size_t(std::max(batchSize, 1));
  std::vector<std::vector<int32_t>> ids;
  ids.reserve(texts.size());
  for (const std::string& text : texts) ids.push_back(tokenIds(text));
  // Batches take texts of similar length; results go back to input order.
  std::vector<size_t> order(texts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return ids[a].size() < ids[b].size(); });
  std::vector<std::vector<float>> out(texts.size());
  for (size_t start = 0; start < order.size(); start += size) {
    if (isCancelled && isCancelled()) throw CancellationError();
    size_t end = std::min(order.size(), start + size);
    std::vector<std::vector<int32_t>> batch;
    batch.reserve(end - start);
    for (size_t k = start; k < end; ++k) batch.push_back(std::move(ids[order[k]]));
    std::vector<std::vector<float>> vectors = model_->encode(batch);
    if (vectors.size() != batch.size()) throw EmbedderError(EmbedderError::Kind::noOutput);
    for (size_t k = start; k < end; ++k) {
      if (!finite(vectors[k - start])) throw EmbedderError(EmbedderError::Kind::noOutput);
      out[order[k]] = std::move(vectors[k - start]);
    }
    if (progress) progress(end, texts.size());
  }
  return out;
}

}  // namespace zelk
