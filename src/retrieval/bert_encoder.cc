// BERT forward pass over cblas_sgemm. Texts of a batch are laid end to end so that every dense
// layer is one matrix product over all their tokens; only attention works text by text.
#include "retrieval/bert_encoder.h"

#include "retrieval/internal/blas.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <thread>

namespace zelk {
namespace {

// Tokens per forward pass: large enough for efficient matrix products, small enough that the
// activations of one pass stay near 30 MB.
constexpr size_t kTokensPerGroup = 4096;

// The elementwise kernels are written as plain loops the compiler vectorises; clones for AVX2
// are picked at load time on machines that have it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define ZELK_VECTOR_CLONES __attribute__((target_clones("arch=haswell", "default")))
#else
#define ZELK_VECTOR_CLONES
#endif

// exp on [-87, 88] with about 1e-7 relative error (Cephes' polynomial). Branch-free and free of
// library calls, so it vectorises.
inline float fastExp(float x) {
  x = x < -87.0f ? -87.0f : x;
  x = x > 88.0f ? 88.0f : x;
  // Adding and removing 1.5 * 2^23 rounds to the nearest integer.
  const float shifter = 12582912.0f;
  float n = (x * 1.44269504088896341f + shifter) - shifter;
  float r = x - n * 0.693359375f;
  r = r - n * -2.12194440e-4f;
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  p = p * r * r + r + 1.0f;
  int32_t bits = (int32_t(n) + 127) << 23;
  float scale;
  std::memcpy(&scale, &bits, sizeof scale);
  return p * scale;
}

// erf as a rational function on [-4, 4] (float accuracy; erf is +-1 in float beyond).
inline float fastErf(float x) {
  x = x < -4.0f ? -4.0f : x;
  x = x > 4.0f ? 4.0f : x;
  float x2 = x * x;
  float p = -2.72614225801306e-10f;
  p = p * x2 + 2.77068142495902e-08f;
  p = p * x2 + -2.10102402082508e-06f;
  p = p * x2 + -5.69250639462346e-05f;
  p = p * x2 + -7.34990630326855e-04f;
  p = p * x2 + -2.95459980854025e-03f;
  p = p * x2 + -1.60960333262415e-02f;
  float q = -1.45660718464996e-05f;
  q = q * x2 + -2.13374055278905e-04f;
  q = q * x2 + -1.68282697438203e-03f;
  q = q * x2 + -7.37332916720468e-03f;
  q = q * x2 + -1.42647390514189e-02f;
  return x * p / q;
}

// Reductions over eight running lanes, so they vectorise without reordering licence.
inline float sumOf(const float* x, size_t n) {
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (size_t j = 0; j < 8; ++j) lanes[j] += x[i + j];
  }
  float sum = 0;
  for (; i < n; ++i) sum += x[i];
  for (float lane : lanes) sum += lane;
  return sum;
}

inline float maxOf(const float* x, size_t n) {
  float lanes[8];
  for (float& lane : lanes) lane = -std::numeric_limits<float>::infinity();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (size_t j = 0; j < 8; ++j) lanes[j] = x[i + j] > lanes[j] ? x[i + j] : lanes[j];
  }
  float top = -std::numeric_limits<float>::infinity();
  for (; i < n; ++i) top = x[i] > top ? x[i] : top;
  for (float lane : lanes) top = lane > top ? lane : top;
  return top;
}

ZELK_VECTOR_CLONES
void geluInPlace(float* x, size_t n) {
  for (size_t i = 0; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + fastErf(x[i] * 0.70710678118654752f));
}

// out[r] = in[r] + bias for every row of width cols.
ZELK_VECTOR_CLONES
void addRowBias(const float* in, const float* bias, float* out, size_t rows, size_t cols) {
  for (size_t r = 0; r < rows; ++r) {
    const float* a = in + r * cols;
    float* o = out + r * cols;
    for (size_t c = 0; c < cols; ++c) o[c] = a[c] + bias[c];
  }
}

ZELK_VECTOR_CLONES
void broadcastRows(const float* bias, float* out, size_t rows, size_t cols) {
  for (size_t r = 0; r < rows; ++r) std::memcpy(out + r * cols, bias, cols * sizeof(float));
}

ZELK_VECTOR_CLONES
void layerNormRows(const float* in, const float* weight, const float* bias, float* out, size_t rows,
                   size_t cols, float eps) {
  for (size_t r = 0; r < rows; ++r) {
    const float* a = in + r * cols;
    float* o = out + r * cols;
    const float mean = sumOf(a, cols) / float(cols);
    for (size_t c = 0; c < cols; ++c) o[c] = (a[c] - mean) * (a[c] - mean);
    const float var = sumOf(o, cols) / float(cols);
    float inv = 1.0f / std::sqrt(var + eps);
    for (size_t c = 0; c < cols; ++c) o[c] = (a[c] - mean) * inv * weight[c] + bias[c];
  }
}

// Softmax of each row of scores over its first `valid` columns; the rest become 0 (masked).
ZELK_VECTOR_CLONES
void softmaxRows(float* scores, size_t rows, size_t cols, size_t valid) {
  for (size_t r = 0; r < rows; ++r) {
    float* s = scores + r * cols;
    const float top = maxOf(s, valid);
    for (size_t c = 0; c < valid; ++c) s[c] = fastExp(s[c] - top);
    const float sum = sumOf(s, valid);
    float inv = 1.0f / sum;
    for (size_t c = 0; c < valid; ++c) s[c] *= inv;
    for (size_t c = valid; c < cols; ++c) s[c] = 0;
  }
}

// y[m][o] += dot(x[m], w[o]) for a handful of rows (a question): OpenBLAS packs the whole
// weight matrix on every call, which costs as much as the product itself at this size. This
// kernel reads each block of three weight rows once and applies it to every row of x.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2,fma"))) inline float horizontalSum(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 1));
  return _mm_cvtss_f32(s);
}

// Four rows of x against three weight rows: twelve accumulators, three weight registers and one
// for x fill the sixteen vector registers without spilling.
template <size_t Rows, bool Prefetch>
__attribute__((target("avx2,fma"))) void fewRowsBlock(const float* x, const float* w, size_t k,
                                                      float* y, size_t ldy) {
  __m256 acc[Rows][3];
  for (size_t r = 0; r < Rows; ++r) {
    for (size_t j = 0; j < 3; ++j) acc[r][j] = _mm256_setzero_ps();
  }
  size_t c = 0;
  for (; c + 8 <= k; c += 8) {
    __m256 w0 = _mm256_loadu_ps(w + c), w1 = _mm256_loadu_ps(w + k + c),
           w2 = _mm256_loadu_ps(w + 2 * k + c);
    if (Prefetch) {
      _mm_prefetch(reinterpret_cast<const char*>(w + 3 * k + c), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(w + 4 * k + c), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(w + 5 * k + c), _MM_HINT_T0);
    }
    for (size_t r = 0; r < Rows; ++r) {
      __m256 xv = _mm256_loadu_ps(x + r * k + c);
      acc[r][0] = _mm256_fmadd_ps(xv, w0, acc[r][0]);
      acc[r][1] = _mm256_fmadd_ps(xv, w1, acc[r][1]);
      acc[r][2] = _mm256_fmadd_ps(xv, w2, acc[r][2]);
    }
  }
  for (size_t r = 0; r < Rows; ++r) {
    for (size_t j = 0; j < 3; ++j) {
      float sum = horizontalSum(acc[r][j]);
      for (size_t t = c; t < k; ++t) sum += x[r * k + t] * w[j * k + t];
      y[r * ldy + j] += sum;
    }
  }
}

__attribute__((target("avx2,fma"))) void fewRowsProduct(const float* x, size_t rows, const float* w,
                                                        size_t outs, size_t k, float* y) {
  size_t o = 0;
  for (; o + 3 <= outs; o += 3) {
    // The weights come from memory once per product: the first pass over a block fetches the
    // next block ahead of use.
    const bool more = o + 6 <= outs;
    const float* wo = w + o * k;
    for (size_t m = 0; m < rows;) {
      const bool first = m == 0 && more;
      const float* xm = x + m * k;
      float* ym = y + m * outs + o;
      if (m + 4 <= rows) {
        first ? fewRowsBlock<4, true>(xm, wo, k, ym, outs)
              : fewRowsBlock<4, false>(xm, wo, k, ym, outs);
        m += 4;
      } else {
        first ? fewRowsBlock<1, true>(xm, wo, k, ym, outs)
              : fewRowsBlock<1, false>(xm, wo, k, ym, outs);
        m += 1;
      }
    }
  }
  for (; o < outs; ++o) {
    for (size_t m = 0; m < rows; ++m) {
      float sum = 0;
      for (size_t t = 0; t < k; ++t) sum += x[m * k + t] * w[o * k + t];
      y[m * outs + o] += sum;
    }
  }
}

bool hasAvx2Fma() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
}
#endif

constexpr size_t kFewRows = 32;

// y[rows, outs] += x[rows, k] times the transpose of w[outs, k] (a linear layer's weights).
void denseProduct(const float* x, size_t rows, const float* w, size_t outs, size_t k, float* y) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (rows <= kFewRows && hasAvx2Fma()) {
    fewRowsProduct(x, rows, w, outs, k, y);
    return;
  }
#endif
  retrieval_internal::blas()->sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, int(rows), int(outs),
                                    int(k), 1.0f, x, int(k), w, int(k), 1.0f, y, int(outs));
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string out = "[";
  for (size_t i = 0; i < shape.size(); ++i) out += (i ? ", " : "") + std::to_string(shape[i]);
  return out + "]";
}

// Resolves names with the optional "bert." prefix and checks shapes before reading.
class WeightReader {
 public:
  WeightReader(const std::string& path) : path_(path), file_(path) {
    if (file_.find("embeddings.word_embeddings.weight")) {
      prefix_ = "";
    } else if (file_.find("bert.embeddings.word_embeddings.weight")) {
      prefix_ = "bert.";
    } else {
      throw ModelLoadError(path_ +
                           ": no tensor embeddings.word_embeddings.weight (not a BERT model)");
    }
  }
  const SafetensorsFile& file() const { return file_; }
  const std::string& prefix() const { return prefix_; }

  // The name as stored; LayerNorm parameters may use the older gamma/beta names.
  std::string resolve(const std::string& name) const {
    std::string full = prefix_ + name;
    if (file_.find(full)) return full;
    auto swap = [&](const std::string& from, const std::string& to) -> std::string {
      if (full.size() >= from.size() &&
          full.compare(full.size() - from.size(), from.size(), from) == 0) {
        std::string alt = full.substr(0, full.size() - from.size()) + to;
        if (file_.find(alt)) return alt;
      }
      return "";
    };
    if (std::string alt = swap("LayerNorm.weight", "LayerNorm.gamma"); !alt.empty()) return alt;
    if (std::string alt = swap("LayerNorm.bias", "LayerNorm.beta"); !alt.empty()) return alt;
    throw ModelLoadError(path_ + ": tensor " + full + " is missing");
  }

  const std::vector<int64_t>& shapeOf(const std::string& name) const {
    std::string full = resolve(name);
    const SafetensorsFile::Tensor* tensor = file_.find(full);
    if (tensor->shape.empty()) {
      throw ModelLoadError(path_ + ": tensor " + full + " has no dimensions");
    }
    return tensor->shape;
  }

  std::vector<float> read(const std::string& name, const std::vector<int64_t>& expected) const {
    std::string full = resolve(name);
    const SafetensorsFile::Tensor* tensor = file_.find(full);
    if (tensor->shape != expected) {
      throw ModelLoadError(path_ + ": tensor " + full + " has shape " + shapeText(tensor->shape) +
                           ", expected " + shapeText(expected));
    }
    return file_.readFloats(full);
  }

  void readInto(const std::string& name, const std::vector<int64_t>& expected, float* out) const {
    std::string full = resolve(name);
    const SafetensorsFile::Tensor* tensor = file_.find(full);
    if (tensor->shape != expected) {
      throw ModelLoadError(path_ + ": tensor " + full + " has shape " + shapeText(tensor->shape) +
                           ", expected " + shapeText(expected));
    }
    size_t count = 1;
    for (int64_t d : expected) count *= size_t(d);
    file_.readFloatsInto(full, out, count);
  }

 private:
  std::string path_;
  SafetensorsFile file_;
  std::string prefix_;
};

}  // namespace

std::unique_ptr<BertEncoder> BertEncoder::load(const std::string& path) {
  // Parallelism comes from encode's own threads (see there); only this code uses BLAS.
  if (!retrieval_internal::blas()) {
    throw ModelLoadError(path + ": OpenBLAS (libopenblas.so.0) could not be loaded");
  }
  WeightReader reader(path);
  const SafetensorsFile& file = reader.file();
  std::unique_ptr<BertEncoder> encoder(new BertEncoder());
  BertConfig& cfg = encoder->config_;

  const auto& word = reader.shapeOf("embeddings.word_embeddings.weight");
  if (word.size() != 2 || word[0] < 1 || word[1] < 1) {
    throw ModelLoadError(path + ": word embeddings have shape " + shapeText(word) +
                         ", expected [vocabulary, hidden]");
  }
  auto fits = [&](int64_t v, const char* what) {
    if (v < 1 || v > (1 << 24)) {
      throw ModelLoadError(path + ": implausible " + std::string(what) + " " + std::to_string(v));
    }
    return int(v);
  };
  cfg.vocabSize = fits(word[0], "vocabulary size");
  cfg.hidden = fits(word[1], "hidden size");
  const int64_t h = cfg.hidden;
  const auto& positions = reader.shapeOf("embeddings.position_embeddings.weight");
  if (positions.size() != 2 || positions[1] != h || positions[0] < 2) {
    throw ModelLoadError(path + ": position embeddings have shape " + shapeText(positions) +
                         ", expected [positions, " + std::to_string(h) + "]");
  }
  cfg.maxPositions = fits(positions[0], "position count");
  const auto& types = reader.shapeOf("embeddings.token_type_embeddings.weight");
  if (types.size() != 2 || types[1] != h || types[0] < 1) {
    throw ModelLoadError(path + ": token type embeddings have shape " + shapeText(types) +
                         ", expected [types, " + std::to_string(h) + "]");
  }
  cfg.typeVocabSize = fits(types[0], "token type count");

  // Layers are numbered 0..n-1 without gaps.
  std::set<int> layerIndices;
  const std::string layerPrefix = reader.prefix() + "encoder.layer.";
  for (const auto& [name, tensor] : file.tensors()) {
    if (name.compare(0, layerPrefix.size(), layerPrefix) != 0) continue;
    size_t dot = name.find('.', layerPrefix.size());
    std::string digits = name.substr(layerPrefix.size(), dot - layerPrefix.size());
    if (digits.empty() || digits.size() > 4 ||
        !std::all_of(digits.begin(), digits.end(), ::isdigit)) {
      continue;
    }
    layerIndices.insert(std::stoi(digits));
  }
  if (layerIndices.empty()) throw ModelLoadError(path + ": no encoder layers");
  if (*layerIndices.rbegin() != int(layerIndices.size()) - 1) {
    throw ModelLoadError(path + ": encoder layers are not numbered 0 to " +
                         std::to_string(layerIndices.size() - 1));
  }
  cfg.layers = int(layerIndices.size());
  const auto& inter = reader.shapeOf("encoder.layer.0.intermediate.dense.weight");
  if (inter.size() != 2 || inter[1] != h) {
    throw ModelLoadError(path + ": encoder.layer.0.intermediate.dense.weight has shape " +
                         shapeText(inter) + ", expected [intermediate, " + std::to_string(h) + "]");
  }
  cfg.intermediate = fits(inter[0], "intermediate size");

  auto meta = file.metadata().find("num_attention_heads");
  if (meta != file.metadata().end()) {
    const std::string& text = meta->second;
    if (text.empty() || text.size() > 4 || !std::all_of(text.begin(), text.end(), ::isdigit) ||
        std::stoi(text) < 1) {
      throw ModelLoadError(path + ": bad num_attention_heads \"" + text + "\"");
    }
    cfg.heads = std::stoi(text);
  } else {
    cfg.heads = cfg.hidden % 32 == 0 ? cfg.hidden / 32 : 0;
  }
  if (cfg.heads < 1 || cfg.hidden % cfg.heads != 0) {
    throw ModelLoadError(path + ": hidden size " + std::to_string(h) +
                         " cannot be split into attention heads");
  }

  encoder->wordEmbeddings_ = reader.read("embeddings.word_embeddings.weight", {cfg.vocabSize, h});
  encoder->positionEmbeddings_ =
      reader.read("embeddings.position_embeddings.weight", {cfg.maxPositions, h});
  encoder->typeEmbeddings_ =
      reader.read("embeddings.token_type_embeddings.weight", {cfg.typeVocabSize, h});
  encoder->embedNormWeight_ = reader.read("embeddings.LayerNorm.weight", {h});
  encoder->embedNormBias_ = reader.read("embeddings.LayerNorm.bias", {h});

  const int64_t in = cfg.intermediate;
  encoder->layers_.resize(size_t(cfg.layers));
  for (int i = 0; i < cfg.layers; ++i) {
    Layer& layer = encoder->layers_[size_t(i)];
    const std::string p = "encoder.layer." + std::to_string(i) + ".";
    layer.qkvWeight.resize(size_t(3 * h * h));
    layer.qkvBias.resize(size_t(3 * h));
    const char* parts[] = {"query", "key", "value"};
    for (int k = 0; k < 3; ++k) {
      std::string base = p + "attention.self." + parts[k];
      reader.readInto(base + ".weight", {h, h}, layer.qkvWeight.data() + k * h * h);
      reader.readInto(base + ".bias", {h}, layer.qkvBias.data() + k * h);
    }
    layer.attnOutWeight = reader.read(p + "attention.output.dense.weight", {h, h});
    layer.attnOutBias = reader.read(p + "attention.output.dense.bias", {h});
    layer.attnNormWeight = reader.read(p + "attention.output.LayerNorm.weight", {h});
    layer.attnNormBias = reader.read(p + "attention.output.LayerNorm.bias", {h});
    layer.interWeight = reader.read(p + "intermediate.dense.weight", {in, h});
    layer.interBias = reader.read(p + "intermediate.dense.bias", {in});
    layer.outWeight = reader.read(p + "output.dense.weight", {h, in});
    layer.outBias = reader.read(p + "output.dense.bias", {h});
    layer.outNormWeight = reader.read(p + "output.LayerNorm.weight", {h});
    layer.outNormBias = reader.read(p + "output.LayerNorm.bias", {h});
  }
  return encoder;
}

size_t BertEncoder::weightBytes() const {
  size_t floats = wordEmbeddings_.size() + positionEmbeddings_.size() + typeEmbeddings_.size() +
                  embedNormWeight_.size() + embedNormBias_.size();
  for (const Layer& l : layers_) {
    floats += l.qkvWeight.size() + l.qkvBias.size() + l.attnOutWeight.size() +
              l.attnOutBias.size() + l.attnNormWeight.size() + l.attnNormBias.size() +
              l.interWeight.size() + l.interBias.size() + l.outWeight.size() + l.outBias.size() +
              l.outNormWeight.size() + l.outNormBias.size();
  }
  return floats * sizeof(float);
}

double BertEncoder::flopsFor(int length) const {
  const double n = length, hd = config_.hidden, in = config_.intermediate;
  const double dense = 2 * hd * hd + 2 * 2 * hd * in;  // attention output and feed-forward
  const double full = n * (2 * hd * 3 * hd + dense) + 2 * 2 * n * n * hd;
  // The last layer projects keys and values of every token but works on the [CLS] row only.
  const double last = n * 2 * hd * 2 * hd + 2 * hd * hd + 2 * 2 * n * hd + dense;
  return full * (config_.layers - 1) + last;
}

std::vector<std::vector<float>> BertEncoder::encode(
    const std::vector<std::vector<int32_t>>& batch) const {
  return encode(batch, Options{});
}

std::vector<std::vector<float>> BertEncoder::encode(const std::vector<std::vector<int32_t>>& batch,
                                                    const Options& options) const {
  if (options.padTo < 0 || options.padTo > config_.maxPositions) {
    throw std::invalid_argument("padding length " + std::to_string(options.padTo) +
                                " is outside 0.." + std::to_string(config_.maxPositions));
  }
  if (options.padId < 0 || options.padId >= config_.vocabSize) {
    throw std::invalid_argument("padding id outside the vocabulary");
  }
  for (const auto& ids : batch) {
    size_t limit = options.padTo ? size_t(options.padTo) : size_t(config_.maxPositions);
    if (ids.empty() || ids.size() > limit) {
      throw std::invalid_argument("a text of " + std::to_string(ids.size()) +
                                  " tokens does not fit 1.." + std::to_string(limit));
    }
    for (int32_t id : ids) {
      if (id < 0 || id >= config_.vocabSize) {
        throw std::invalid_argument("token id " + std::to_string(id) +
                                    " is outside the model's vocabulary");
      }
    }
  }

  // Similar lengths go together, so that a group's attention buffers fit its texts. Groups are
  // encoded on one thread per core, each with single-threaded matrix products: OpenBLAS's own
  // threads pay off only on the large products and lose badly on the small attention ones.
  std::vector<size_t> order(batch.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return batch[a].size() < batch[b].size(); });
  auto lengthOf = [&](size_t i) { return options.padTo ? size_t(options.padTo) : batch[i].size(); };
  size_t total = 0;
  for (size_t i : order) total += lengthOf(i);
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  size_t groupCount =
      std::max((total + kTokensPerGroup - 1) / kTokensPerGroup, std::min(cores, batch.size()));
  groupCount = std::max<size_t>(groupCount, 1);
  const size_t target = (total + groupCount - 1) / groupCount;

  std::vector<std::vector<float>> out(batch.size());
  struct Group {
    std::vector<const std::vector<int32_t>*> ids;
    std::vector<std::vector<float>*> out;
  };
  std::vector<Group> groups(1);
  size_t tokens = 0;
  for (size_t i : order) {
    if (!groups.back().ids.empty() && tokens + lengthOf(i) > target) {
      groups.emplace_back();
      tokens = 0;
    }
    groups.back().ids.push_back(&batch[i]);
    groups.back().out.push_back(&out[i]);
    tokens += lengthOf(i);
  }
  if (groups.back().ids.empty()) return out;

  std::atomic<size_t> next{0};
  std::mutex errorLock;
  std::exception_ptr error;  // guarded by errorLock
  auto work = [&] {
    for (size_t g; (g = next.fetch_add(1)) < groups.size();) {
      try {
        encodeGroup(groups[g].ids, options.padTo, options.padId, groups[g].out);
      } catch (...) {
        std::lock_guard<std::mutex> hold(errorLock);
        if (!error) error = std::current_exception();
      }
    }
  };
  const size_t workers = std::min(cores, groups.size());
  std::vector<std::thread> pool;
  for (size_t w = 1; w < workers; ++w) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  if (error) std::rethrow_exception(error);
  return out;
}

void BertEncoder::encodeGroup(const std::vector<const std::vector<int32_t>*>& group, int padTo,
                              int padId, std::vector<std::vector<float>*>& out) const {
  const size_t h = size_t(config_.hidden);
  const size_t inter = size_t(config_.intermediate);
  const size_t heads = size_t(config_.heads);
  const size_t d = h / heads;
  const float scale = 1.0f / std::sqrt(float(d));
  const float eps = config_.layerNormEps;

  std::vector<size_t> offsets, lengths, padded;
  size_t total = 0, longest = 0;
  for (const auto* ids : group) {
    size_t length = padTo ? size_t(padTo) : ids->size();
    offsets.push_back(total);
    lengths.push_back(ids->size());
    padded.push_back(length);
    total += length;
    longest = std::max(longest, length);
  }

  std::vector<float> x(total * h), tmp(total * h), ctx(total * h), qkv(total * 3 * h),
      ffn(total * inter), scores(longest * longest);

  for (size_t s = 0; s < group.size(); ++s) {
    for (size_t p = 0; p < padded[s]; ++p) {
      int32_t id = p < lengths[s] ? (*group[s])[p] : padId;
      const float* w = &wordEmbeddings_[size_t(id) * h];
      const float* pos = &positionEmbeddings_[p * h];
      const float* type = &typeEmbeddings_[0];
      float* row = &tmp[(offsets[s] + p) * h];
      for (size_t c = 0; c < h; ++c) row[c] = w[c] + pos[c] + type[c];
    }
  }
  layerNormRows(tmp.data(), embedNormWeight_.data(), embedNormBias_.data(), x.data(), total, h,
                eps);

  // Dense layers over `rows` rows: attention output with residual and norm, then the
  // feed-forward block with residual and norm; x holds the residual input and the result.
  auto denseBlock = [&](const Layer& layer, size_t rows, const float* context, float* xs,
                        float* scratch, float* hidden) {
    addRowBias(xs, layer.attnOutBias.data(), scratch, rows, h);
    denseProduct(context, rows, layer.attnOutWeight.data(), h, h, scratch);
    layerNormRows(scratch, layer.attnNormWeight.data(), layer.attnNormBias.data(), xs, rows, h,
                  eps);
    broadcastRows(layer.interBias.data(), hidden, rows, inter);
    denseProduct(xs, rows, layer.interWeight.data(), inter, h, hidden);
    geluInPlace(hidden, rows * inter);
    addRowBias(xs, layer.outBias.data(), scratch, rows, h);
    denseProduct(hidden, rows, layer.outWeight.data(), h, inter, scratch);
    layerNormRows(scratch, layer.outNormWeight.data(), layer.outNormBias.data(), xs, rows, h, eps);
  };

  const size_t count = group.size();
  for (size_t l = 0; l < layers_.size(); ++l) {
    const Layer& layer = layers_[l];
    // Only the [CLS] rows leave the last layer, so its queries and dense work stop at them.
    const bool last = l + 1 == layers_.size();
    broadcastRows(layer.qkvBias.data(), qkv.data(), total, 3 * h);
    denseProduct(x.data(), total, layer.qkvWeight.data(), 3 * h, h, qkv.data());

    for (size_t s = 0; s < count; ++s) {
      const int len = int(padded[s]);
      const int queries = last ? 1 : len;
      const float* base = &qkv[offsets[s] * 3 * h];
      float* context = last ? &ctx[s * h] : &ctx[offsets[s] * h];
      for (size_t head = 0; head < heads; ++head) {
        const float* q = base + head * d;
        const float* k = base + h + head * d;
        const float* v = base + 2 * h + head * d;
        retrieval_internal::blas()->sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, queries, len,
                                          int(d), scale, q, int(3 * h), k, int(3 * h), 0.0f,
                                          scores.data(), len);
        softmaxRows(scores.data(), size_t(queries), size_t(len), lengths[s]);
        retrieval_internal::blas()->sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, queries,
                                          int(d), len, 1.0f, scores.data(), len, v, int(3 * h),
                                          0.0f, context + head * d, int(h));
      }
    }

    if (!last) {
      denseBlock(layer, total, ctx.data(), x.data(), tmp.data(), ffn.data());
      continue;
    }
    // Gather the [CLS] rows to the front of x; their contexts are already at ctx's front.
    for (size_t s = 1; s < count; ++s) {
      std::memmove(&x[s * h], &x[offsets[s] * h], h * sizeof(float));
    }
    denseBlock(layer, count, ctx.data(), x.data(), tmp.data(), ffn.data());
  }

  for (size_t s = 0; s < count; ++s) {
    const float* cls = &x[s * h];
    double norm = 0;
    for (size_t c = 0; c < h; ++c) norm += double(cls[c]) * cls[c];
    float inv = norm > 0 ? float(1.0 / std::sqrt(norm)) : 0.0f;
    std::vector<float>& vec = *out[s];
    vec.resize(h);
    for (size_t c = 0; c < h; ++c) vec[c] = cls[c] * inv;
  }
}

}  // namespace zelk
