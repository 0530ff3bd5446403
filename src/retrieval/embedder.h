// The sentence embedder: bge-small-en-v1.5 run by our BERT encoder, the WordPiece tokenizer
// that feeds it, and where the two model files live and how they are installed.
//
// One shared instance per process sits in a class-level cache guarded by cacheLock; the lock is
// held only to read or swap the instance, never while loading or embedding. A loaded embedder
// is immutable and may be used from any thread. The model is loaded on first use, never at start.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "retrieval/bert_encoder.h"
#include "retrieval/wordpiece_tokenizer.h"

namespace zelk {

class EmbedderError : public std::exception {
 public:
  enum class Kind { vocabLoadFailed, bundledModelMissing, noOutput };
  explicit EmbedderError(Kind kind) : kind_(kind) {}
  Kind kind() const { return kind_; }
  // The case name; the cases carry no message of their own.
  const char* what() const noexcept override;

 private:
  Kind kind_;
};

// Thrown by the batched embed when its cancellation test answers true.
struct CancellationError : std::exception {
  const char* what() const noexcept override { return "cancelled"; }
};

class Embedder {
 public:
  static constexpr const char* kModelName = "bge-small-en-v1.5";
  static constexpr const char* kModelFile = "model.safetensors";
  static constexpr const char* kVocabFile = "vocab.txt";
  static constexpr const char* kQuestionPrefix =
      "Represent this sentence for searching relevant passages: ";
  static constexpr int kMaxSequence = 512;

  struct Locations {
    std::string model;
    std::string vocab;
  };

  // Loads the model (ModelLoadError as it comes), then the vocabulary (EmbedderError
  // vocabLoadFailed when it gives no tokenizer). A vocabulary whose ids the model has no
  // embedding for is refused as a ModelLoadError.
  Embedder(const std::string& modelPath, const std::string& vocabPath);

  // The cached instance; otherwise loads the installed files when both exist, caches and returns
  // them. nullptr when nothing is installed or loading fails (nothing cached, so the next call
  // tries again); a failure is logged once on standard error.
  static std::shared_ptr<Embedder> makeSharedIfInstalled();
  // Installs from the bundle folder if needed, loads, replaces the cached instance. Throws.
  static std::shared_ptr<Embedder> makeShared(const std::string& bundle);
  // Creates the models directory, copies vocab.txt and model.safetensors from the bundle when
  // they are missing there, and returns their locations. EmbedderError bundledModelMissing when
  // the bundle lacks a file that is needed; std::runtime_error for file-system failures.
  static Locations installIfNeeded(const std::string& bundle);
  // Locations in platform::modelsDir().
  static Locations installedLocations();
  // <prefix>/share/zelk/models for the program at <prefix>/bin; empty when unknown.
  static std::string defaultBundle();
  // Drops the cached instance (callers that hold it keep theirs).
  static void resetShared();

  // `zelk-mcp --install-model <folder>`: checks both files of the folder, copies them into the
  // models directory, each replaced atomically, and reports on standard output (errors on
  // standard error). Returns the exit status: 0 installed, 1 refused or failed.
  static int installModelMain(const std::string& folder);

  // One text's vector (config().hidden floats, unit length). Throws EmbedderError noOutput when
  // the model gives no finite vector.
  std::vector<float> embed(const std::string& text) const;
  // One vector per text, in input order, in batches of batchSize (at least 1) texts of similar
  // length. isCancelled is asked before each batch (CancellationError when it answers true);
  // progress gets (texts embedded so far, total) after each batch.
  std::vector<std::vector<float>> embed(
      const std::vector<std::string>& texts, int batchSize,
      const std::function<bool()>& isCancelled,
      const std::function<void(size_t, size_t)>& progress = nullptr) const;

  const WordPieceTokenizer& tokenizer() const { return tokenizer_; }
  const BertEncoder& model() const { return *model_; }
  // Token ids as the model sees them: [CLS], pieces, [SEP], at most the model's positions.
  std::vector<int32_t> tokenIds(const std::string& text) const;

 private:
  static std::mutex cacheLock;
  static std::shared_ptr<Embedder> cached;  // guarded by cacheLock; shared with the callers

  std::unique_ptr<BertEncoder> model_;
  WordPieceTokenizer tokenizer_;
};

// The checks and copy behind installModelMain, with the architecture it expects; returns the
// report line. Throws ModelLoadError, EmbedderError or std::runtime_error with the reason.
struct ModelInstaller {
  struct Expected {
    int hidden = 384;
    int layers = 12;
    int intermediate = 1536;
    int maxPositions = 512;
  };
  static std::string install(const std::string& folder, const std::string& modelsDir,
                             const Expected& expected);
};

}  // namespace zelk
