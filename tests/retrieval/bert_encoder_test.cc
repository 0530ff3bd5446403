// The encoder against a plain double-precision forward pass, and its refusal of broken files.
#include "retrieval/bert_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "retrieval/random_bert.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::RandomBert;
using testing::RandomBertSpec;

// The textbook BERT forward pass in doubles: straight loops, no shortcuts.
std::vector<double> referenceVector(const RandomBert& m, const std::vector<int32_t>& ids) {
  const RandomBertSpec& s = m.spec;
  const size_t h = size_t(s.hidden), in = size_t(s.intermediate), n = ids.size();
  const size_t heads = size_t(s.heads > 0 ? s.heads : s.hidden / 32), d = h / heads;
  using Matrix = std::vector<std::vector<double>>;
  auto layerNorm = [&](Matrix& x, const std::string& name) {
    const auto& w = m.get(name + ".weight");
    const auto& b = m.get(name + ".bias");
    for (auto& row : x) {
      double mean = 0, var = 0;
      for (double v : row) mean += v;
      mean /= double(h);
      for (double v : row) var += (v - mean) * (v - mean);
      var /= double(h);
      for (size_t c = 0; c < h; ++c) row[c] = (row[c] - mean) / std::sqrt(var + 1e-12) * w[c] + b[c];
    }
  };
  auto linear = [&](const Matrix& x, const std::string& name, size_t out, size_t inDim) {
    const auto& w = m.get(name + ".weight");
    const auto& b = m.get(name + ".bias");
    Matrix y(x.size(), std::vector<double>(out));
    for (size_t t = 0; t < x.size(); ++t) {
      for (size_t o = 0; o < out; ++o) {
        double sum = b[o];
        for (size_t i = 0; i < inDim; ++i) sum += double(w[o * inDim + i]) * x[t][i];
        y[t][o] = sum;
      }
    }
    return y;
  };
  Matrix x(n, std::vector<double>(h));
  const auto& word = m.get("embeddings.word_embeddings.weight");
  const auto& pos = m.get("embeddings.position_embeddings.weight");
  const auto& type = m.get("embeddings.token_type_embeddings.weight");
  for (size_t t = 0; t < n; ++t) {
    for (size_t c = 0; c < h; ++c) {
      x[t][c] = double(word[size_t(ids[t]) * h + c]) + pos[t * h + c] + type[c];
    }
  }
  layerNorm(x, "embeddings.LayerNorm");
  for (int l = 0; l < s.layers; ++l) {
    std::string p = "encoder.layer." + std::to_string(l) + ".";
    Matrix q = linear(x, p + "attention.self.query", h, h);
    Matrix k = linear(x, p + "attention.self.key", h, h);
    Matrix v = linear(x, p + "attention.self.value", h, h);
    Matrix ctx(n, std::vector<double>(h, 0));
    for (size_t hd = 0; hd < heads; ++hd) {
      for (size_t i = 0; i < n; ++i) {
        std::vector<double> score(n);
        double top = -1e300;
        for (size_t j = 0; j < n; ++j) {
          double dot = 0;
          for (size_t c = 0; c < d; ++c) dot += q[i][hd * d + c] * k[j][hd * d + c];
          score[j] = dot / std::sqrt(double(d));
          top = std::max(top, score[j]);
        }
        double sum = 0;
        for (double& sc : score) sum += (sc = std::exp(sc - top));
        for (size_t j = 0; j < n; ++j) {
          for (size_t c = 0; c < d; ++c) ctx[i][hd * d + c] += score[j] / sum * v[j][hd * d + c];
        }
      }
    }
    Matrix a = linear(ctx, p + "attention.output.dense", h, h);
    for (size_t t = 0; t < n; ++t) for (size_t c = 0; c < h; ++c) a[t][c] += x[t][c];
    layerNorm(a, p + "attention.output.LayerNorm");
    x = a;
    Matrix f = linear(x, p + "intermediate.dense", in, h);
    for (auto& row : f) for (double& val : row) val = 0.5 * val * (1 + std::erf(val / std::sqrt(2.0)));
    Matrix o = linear(f, p + "output.dense", h, in);
    for (size_t t = 0; t < n; ++t) for (size_t c = 0; c < h; ++c) o[t][c] += x[t][c];
    layerNorm(o, p + "output.LayerNorm");
    x = o;
  }
  std::vector<double> cls = x[0];
  double norm = 0;
  for (double c : cls) norm += c * c;
  for (double& c : cls) c /= std::sqrt(norm);
  return cls;
}

std::vector<int32_t> randomIds(std::mt19937& rng, int vocab, size_t length) {
  std::uniform_int_distribution<int32_t> pick(0, vocab - 1);
  std::vector<int32_t> ids(length);
  for (int32_t& id : ids) id = pick(rng);
  return ids;
}

void expectMatches(const std::vector<float>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  double dot = 0, a = 0, b = 0, worst = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    worst = std::max(worst, std::fabs(double(got[i]) - want[i]));
    dot += got[i] * want[i];
    a += double(got[i]) * got[i];
    b += want[i] * want[i];
  }
  EXPECT_LT(worst, 1e-4);
  EXPECT_GT(dot / std::sqrt(a * b), 0.99999);
}

struct Variant {
  const char* name;
  RandomBertSpec spec;
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class EncoderMatchesReference : public ::testing::TestWithParam<Variant> {};

TEST_P(EncoderMatchesReference, EveryComponentWithinTolerance) {
  testing::TempDir dir;
  RandomBert model = testing::makeRandomBert(GetParam().spec);
  ASSERT_TRUE(testing::writeRandomBert(model, dir.file("model.safetensors")));
  auto encoder = BertEncoder::load(dir.file("model.safetensors"));
  const BertConfig& cfg = encoder->config();
  EXPECT_EQ(cfg.hidden, model.spec.hidden);
  EXPECT_EQ(cfg.layers, model.spec.layers);
  EXPECT_EQ(cfg.intermediate, model.spec.intermediate);
  EXPECT_EQ(cfg.maxPositions, model.spec.positions);
  EXPECT_EQ(cfg.vocabSize, model.spec.vocab);

  std::mt19937 rng(7);
  std::vector<std::vector<int32_t>> batch;
  for (size_t length : {size_t(1), size_t(2), size_t(7), size_t(23), size_t(model.spec.positions)}) {
    batch.push_back(randomIds(rng, model.spec.vocab, length));
  }
  std::vector<std::vector<float>> got = encoder->encode(batch);
  ASSERT_EQ(got.size(), batch.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    SCOPED_TRACE("length " + std::to_string(batch[i].size()));
    expectMatches(got[i], referenceVector(model, batch[i]));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, EncoderMatchesReference,
    ::testing::Values(
        Variant{"F32", RandomBertSpec{}},
        Variant{"F16WithPrefix", RandomBertSpec{.seed = 2, .f16 = true, .bertPrefix = true}},
        Variant{"FourHeadsThreeLayers",
                RandomBertSpec{.vocab = 50, .hidden = 32, .layers = 3, .heads = 4,
                               .intermediate = 86, .positions = 30, .seed = 3, .pooler = false}}),
    [](const auto& info) { return std::string(info.param.name); });

class LoadedEncoder : public ::testing::Test {
 protected:
  void SetUp() override {
    model_ = testing::makeRandomBert(RandomBertSpec{.seed = 11});
    ASSERT_TRUE(testing::writeRandomBert(model_, dir_.file("model.safetensors")));
    encoder_ = BertEncoder::load(dir_.file("model.safetensors"));
  }
  testing::TempDir dir_;
  RandomBert model_;
  std::unique_ptr<BertEncoder> encoder_;
};

TEST_F(LoadedEncoder, SameVectorAloneInMixedBatchAndPadded) {
  std::mt19937 rng(5);
  std::vector<int32_t> text = randomIds(rng, 64, 9);
  std::vector<float> alone = encoder_->encode({text})[0];
  std::vector<std::vector<int32_t>> mixed = {randomIds(rng, 64, 33), text, randomIds(rng, 64, 1),
                                             randomIds(rng, 64, 40), text};
  std::vector<std::vector<float>> inBatch = encoder_->encode(mixed);
  std::vector<float> padded = encoder_->encode({text}, {.padTo = 40, .padId = 0})[0];
  for (size_t c = 0; c < alone.size(); ++c) {
    EXPECT_NEAR(inBatch[1][c], alone[c], 1e-5);
    EXPECT_NEAR(inBatch[4][c], alone[c], 1e-5);
    EXPECT_NEAR(padded[c], alone[c], 1e-5);
  }
  expectMatches(inBatch[3], referenceVector(model_, mixed[3]));
}

TEST_F(LoadedEncoder, BatchesLargerThanOnePassKeepInputOrder) {
  std::mt19937 rng(9);
  std::vector<std::vector<int32_t>> batch;
  for (int i = 0; i < 150; ++i) batch.push_back(randomIds(rng, 64, size_t(1 + (i * 7) % 40)));
  std::vector<std::vector<float>> all = encoder_->encode(batch);
  ASSERT_EQ(all.size(), batch.size());
  for (size_t i : {size_t(0), size_t(77), size_t(149)}) {
    std::vector<float> alone = encoder_->encode({batch[i]})[0];
    for (size_t c = 0; c < alone.size(); ++c) ASSERT_NEAR(all[i][c], alone[c], 1e-5);
  }
}

TEST_F(LoadedEncoder, RefusesInputsOutsideTheModel) {
  EXPECT_THROW(encoder_->encode({{}}), std::invalid_argument);
  EXPECT_THROW(encoder_->encode({{1, 64}}), std::invalid_argument);
  EXPECT_THROW(encoder_->encode({{-1}}), std::invalid_argument);
  EXPECT_THROW(encoder_->encode({std::vector<int32_t>(41, 1)}), std::invalid_argument);
  EXPECT_THROW(encoder_->encode({{1, 2}}, {.padTo = 41}), std::invalid_argument);
  EXPECT_TRUE(encoder_->encode({}).empty());
}

TEST_F(LoadedEncoder, ReportsWeightBytesAndWork) {
  // 64x64 word, 40x64 positions, 2x64 types and 2x64 norm; per layer 4 64x64 and 2 64x128
  // matrices with their biases and 4 norm vectors.
  size_t perLayer = 4 * (64 * 64 + 64) + (128 * 64 + 128) + (64 * 128 + 64) + 4 * 64;
  size_t floats = 64 * 64 + 40 * 64 + 2 * 64 + 2 * 64 + 2 * perLayer;
  EXPECT_EQ(encoder_->weightBytes(), floats * 4);
  // A full layer: projections, attention output and feed-forward per token, scores and context.
  double dense = 2.0 * 64 * 64 + 4.0 * 64 * 128;
  double full = 10 * (2.0 * 64 * 192 + dense) + 4.0 * 10 * 10 * 64;
  // The last layer: keys and values of every token, everything else for [CLS] alone.
  double last = 10 * 2.0 * 64 * 128 + 2.0 * 64 * 64 + 4.0 * 10 * 64 + dense;
  EXPECT_DOUBLE_EQ(encoder_->flopsFor(10), full + last);
}

// Broken files: each must give a ModelLoadError whose text names the fault.
struct BrokenCase {
  const char* name;
  std::function<std::string(const RandomBert&)> build;
  const char* message;
};

void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }

std::vector<testing::RawTensor> without(std::vector<testing::RawTensor> entries,
                                        const std::string& name) {
  std::erase_if(entries, [&](const auto& e) { return e.name == name; });
  return entries;
}

std::vector<testing::RawTensor> modify(std::vector<testing::RawTensor> entries,
                                       const std::string& name,
                                       const std::function<void(testing::RawTensor&)>& change) {
  for (auto& e : entries) {
    if (e.name == name) change(e);
  }
  return entries;
}

std::string lengthPrefix(uint64_t length) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[size_t(i)] = char((length >> (8 * i)) & 0xFF);
  return out;
}

class BrokenModel : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenModel, GivesAClearError) {
  testing::TempDir dir;
  RandomBert model = testing::makeRandomBert(RandomBertSpec{.layers = 2, .seed = 4});
  std::string path = dir.file("model.safetensors");
  ASSERT_TRUE(testing::writeFile(path, GetParam().build(model)));
  try {
    BertEncoder::load(path);
    FAIL() << "loaded a broken model";
  } catch (const ModelLoadError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind(path, 0), 0u) << e.what();
  }
}

const std::string kQuery0 = "encoder.layer.0.attention.self.query.weight";

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenModel,
    ::testing::Values(
        BrokenCase{"Empty", [](const RandomBert&) { return std::string(); },
                   "shorter than its 8-byte header length"},
        BrokenCase{"HugeHeaderLength",
                   [](const RandomBert&) { return lengthPrefix(uint64_t(1) << 62) + "{}"; },
                   "is implausible"},
        BrokenCase{"HeaderPastEnd", [](const RandomBert&) { return lengthPrefix(100) + "{}"; },
                   "the header runs past the end"},
        BrokenCase{"HeaderNotJson",
                   [](const RandomBert&) { return lengthPrefix(8) + "{\"a\":[1,"; },
                   "the header is not valid JSON"},
        BrokenCase{"HeaderNotObject",
                   [](const RandomBert&) { return lengthPrefix(8) + "[1,2,3] "; },
                   "the header is not a JSON object"},
        BrokenCase{"Truncated",
                   [](const RandomBert& m) {
                     std::string bytes = testing::buildSafetensors(testing::rawTensors(m));
                     return bytes.substr(0, bytes.size() - 100);
                   },
                   "truncated (tensor "},
        BrokenCase{"WrongShape",
                   [](const RandomBert& m) {
                     return testing::buildSafetensors(
                         modify(testing::rawTensors(m), kQuery0, [](testing::RawTensor& e) {
                           e.shape = {64, 63};
                           e.bytes.resize(64 * 63 * 4);
                         }));
                   },
                   "tensor encoder.layer.0.attention.self.query.weight has shape [64, 63], "
                   "expected [64, 64]"},
        BrokenCase{"MissingTensor",
                   [](const RandomBert& m) {
                     return testing::buildSafetensors(
                         without(testing::rawTensors(m), "encoder.layer.1.output.LayerNorm.bias"));
                   },
                   "tensor encoder.layer.1.output.LayerNorm.bias is missing"},
        BrokenCase{"BytesDisagreeWithShape",
                   [](const RandomBert& m) {
                     return testing::buildSafetensors(
                         modify(testing::rawTensors(m), kQuery0,
                                [](testing::RawTensor& e) { e.bytes.resize(e.bytes.size() - 4); }));
                   },
                   "holds 16380 bytes, its shape needs 16384"},
        BrokenCase{"IntegerTensor",
                   [](const RandomBert& m) {
                     return testing::buildSafetensors(modify(
                         testing::rawTensors(m), kQuery0,
                         [](testing::RawTensor& e) { e.dtype = "I32"; }));
                   },
                   "has dtype I32, expected F32 or F16"},
        BrokenCase{"NotBert",
                   [](const RandomBert& m) {
                     return testing::buildSafetensors(
                         without(testing::rawTensors(m), "embeddings.word_embeddings.weight"));
                   },
                   "not a BERT model"},
        BrokenCase{"LayerGap",
                   [](const RandomBert& m) {
                     auto entries = testing::rawTensors(m);
                     for (auto& e : entries) {
                       if (e.name.rfind("encoder.layer.1.", 0) == 0) {
                         e.name.replace(0, 16, "encoder.layer.2.");
                       }
                     }
                     return testing::buildSafetensors(entries);
                   },
                   "encoder layers are not numbered 0 to 1"},
        BrokenCase{"HeadsDoNotDivide",
                   [](const RandomBert& m) {
                     return testing::buildSafetensors(testing::rawTensors(m),
                                                      {{"num_attention_heads", "5"}});
                   },
                   "hidden size 64 cannot be split into attention heads"},
        BrokenCase{"OffsetsBackwards",
                   [](const RandomBert& m) {
                     return testing::buildSafetensors(
                         modify(testing::rawTensors(m), kQuery0,
                                [](testing::RawTensor& e) { e.rawOffsets = "[40,8]"; }));
                   },
                   "has bad data offsets"},
        BrokenCase{"NegativeDimension",
                   [](const RandomBert& m) {
                     return testing::buildSafetensors(
                         modify(testing::rawTensors(m), kQuery0,
                                [](testing::RawTensor& e) { e.shape = {-64, -64}; }));
                   },
                   "has a bad shape"},
        BrokenCase{"NoLayers",
                   [](const RandomBert& m) {
                     auto entries = testing::rawTensors(m);
                     std::erase_if(entries, [](const auto& e) {
                       return e.name.rfind("encoder.", 0) == 0;
                     });
                     return testing::buildSafetensors(entries);
                   },
                   "no encoder layers"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BertEncoder, MissingFileNamesTheFile) {
  testing::TempDir dir;
  try {
    BertEncoder::load(dir.file("absent.safetensors"));
    FAIL();
  } catch (const ModelLoadError& e) {
    EXPECT_EQ(std::string(e.what()),
              dir.file("absent.safetensors") + ": cannot open (No such file or directory)");
  }
}

TEST(BertEncoder, EveryPrefixOfAValidFileIsRefusedWithoutACrash) {
  testing::TempDir dir;
  RandomBert model = testing::makeRandomBert(RandomBertSpec{.vocab = 8, .hidden = 32, .layers = 1,
                                                            .intermediate = 32, .positions = 4});
  std::string bytes = testing::buildSafetensors(testing::rawTensors(model));
  std::string path = dir.file("model.safetensors");
  for (size_t cut = 0; cut < bytes.size(); cut += cut < 64 ? 1 : 211) {
    ASSERT_TRUE(testing::writeFile(path, bytes.substr(0, cut)));
    EXPECT_THROW(BertEncoder::load(path), ModelLoadError) << "cut at " << cut;
  }
  ASSERT_TRUE(testing::writeFile(path, bytes));
  EXPECT_NO_THROW(BertEncoder::load(path));
}

TEST(SafetensorsFile, HalfConversionCoversTheFormat) {
  EXPECT_EQ(halfToFloat(0x3C00), 1.0f);
  EXPECT_EQ(halfToFloat(0xC000), -2.0f);
  EXPECT_EQ(halfToFloat(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(halfToFloat(0x7BFF), 65504.0f);
  EXPECT_TRUE(std::isinf(halfToFloat(0x7C00)));
  EXPECT_TRUE(std::signbit(halfToFloat(0x8000)));
}

}  // namespace
}  // namespace zelk
