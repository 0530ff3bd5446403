// Our BERT encoder for the bge-small-en-v1.5 architecture (post-LayerNorm BERT with learned
// absolute positions, erf GELU, [CLS] pooling and L2 normalisation), over OpenBLAS sgemm.
// A loaded encoder is immutable; encode() may run on any number of threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "retrieval/safetensors_file.h"

namespace zelk {

struct BertConfig {
  int vocabSize = 0;
  int hidden = 0;
  int layers = 0;
  int heads = 0;
  int intermediate = 0;
  int maxPositions = 0;
  int typeVocabSize = 0;
  float layerNormEps = 1e-12f;
};

class BertEncoder {
 public:
  // Loads model.safetensors (F32, F16 or BF16 tensors with the standard BERT names, an optional
  // "bert." prefix, pooler.* ignored). Dimensions come from the tensor shapes; the head count
  // from the metadata entry "num_attention_heads" when present, else hidden / 32 (the head size
  // of bge-small). Throws ModelLoadError naming the file and the fault.
  static std::unique_ptr<BertEncoder> load(const std::string& path);

  struct Options {
    // 0: every text at its real length. Otherwise every text is padded to this many positions
    // with an attention mask, as a fixed-shape model runner does (kept for comparison).
    int padTo = 0;
    int padId = 0;
  };

  // One unit-length vector of config().hidden floats per id sequence, in input order. Every
  // sequence must hold 1..maxPositions ids below vocabSize (std::invalid_argument otherwise).
  std::vector<std::vector<float>> encode(const std::vector<std::vector<int32_t>>& batch) const;
  std::vector<std::vector<float>> encode(const std::vector<std::vector<int32_t>>& batch,
                                         const Options& options) const;

  const BertConfig& config() const { return config_; }
  // Bytes held by the weights.
  size_t weightBytes() const;
  // Multiply-add work of one sequence of this length, in floating-point operations (2 per
  // multiply-add), counting the matrix products only.
  double flopsFor(int length) const;

  struct Layer {
    std::vector<float> qkvWeight;  // [3 * hidden, hidden]: query, key and value rows stacked
    std::vector<float> qkvBias;    // [3 * hidden]
    std::vector<float> attnOutWeight, attnOutBias;
    std::vector<float> attnNormWeight, attnNormBias;
    std::vector<float> interWeight, interBias;  // [intermediate, hidden]
    std::vector<float> outWeight, outBias;      // [hidden, intermediate]
    std::vector<float> outNormWeight, outNormBias;
  };

 private:
  BertEncoder() = default;
  // Encodes sequences whose tokens are laid end to end (lengths[i] tokens each, each padded
  // length >= real length) into out rows.
  void encodeGroup(const std::vector<const std::vector<int32_t>*>& group, int padTo, int padId,
                   std::vector<std::vector<float>*>& out) const;

  BertConfig config_;
  std::vector<float> wordEmbeddings_, positionEmbeddings_, typeEmbeddings_;
  std::vector<float> embedNormWeight_, embedNormBias_;
  std::vector<Layer> layers_;
};

}  // namespace zelk
