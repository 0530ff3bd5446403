// Test and benchmark helper: BERT models of the bge-small architecture with seeded random
// weights, written as safetensors files, and a builder for hand-made (often broken) files.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace zelk::testing {

inline uint16_t floatToHalf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  uint32_t sign = (bits >> 16) & 0x8000;
  int32_t exponent = int32_t((bits >> 23) & 0xFF) - 127 + 15;
  uint32_t mantissa = bits & 0x7FFFFF;
  if (exponent >= 31) return uint16_t(sign | 0x7C00);
  if (exponent <= 0) {
    if (exponent < -10) return uint16_t(sign);
    mantissa |= 0x800000;
    uint32_t shift = uint32_t(14 - exponent);
    uint32_t half = mantissa >> shift;
    uint32_t rest = mantissa & ((1u << shift) - 1);
    uint32_t midpoint = 1u << (shift - 1);
    if (rest > midpoint || (rest == midpoint && (half & 1))) ++half;
    return uint16_t(sign | half);
  }
  uint32_t half = sign | (uint32_t(exponent) << 10) | (mantissa >> 13);
  uint32_t rest = mantissa & 0x1FFF;
  if (rest > 0x1000 || (rest == 0x1000 && (half & 1))) ++half;
  return uint16_t(half);
}

inline float roundToHalf(float value) {
  uint16_t h = floatToHalf(value);
  uint32_t sign = uint32_t(h & 0x8000) << 16;
  uint32_t exponent = (h >> 10) & 0x1F;
  uint32_t mantissa = h & 0x3FF;
  if (exponent == 0) {
    float v = std::ldexp(float(mantissa), -24);
    return sign ? -v : v;
  }
  uint32_t bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

struct RandomBertSpec {
  int vocab = 64;
  int hidden = 64;
  int layers = 2;
  int heads = 0;  // 0: no metadata entry (the loader then assumes hidden / 32)
  int intermediate = 128;
  int positions = 40;
  int types = 2;
  uint64_t seed = 1;
  bool f16 = false;
  bool bertPrefix = false;
  bool pooler = true;
};

// One tensor of a model: name without prefix, shape and values.
struct NamedTensor {
  std::string name;
  std::vector<int64_t> shape;
  std::vector<float> values;
};

struct RandomBert {
  RandomBertSpec spec;
  std::vector<NamedTensor> tensors;
  const std::vector<float>& get(const std::string& name) const {
    for (const auto& t : tensors) {
      if (t.name == name) return t.values;
    }
    static const std::vector<float> none;
    return none;
  }
};

inline RandomBert makeRandomBert(const RandomBertSpec& spec) {
  RandomBert model{spec, {}};
  std::mt19937_64 rng(spec.seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  auto normal = [&] {
    double u1 = std::max(uniform(rng), 1e-300), u2 = uniform(rng);
    return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  };
  auto add = [&](const std::string& name, std::vector<int64_t> shape, double mean, double sd) {
    size_t n = 1;
    for (int64_t d : shape) n *= size_t(d);
    std::vector<float> values(n);
    for (float& v : values) {
      v = float(mean + sd * normal());
      if (spec.f16) v = roundToHalf(v);
    }
    model.tensors.push_back({name, std::move(shape), std::move(values)});
  };
  const int64_t h = spec.hidden, in = spec.intermediate;
  const double linear = 1.0 / std::sqrt(double(h));
  add("embeddings.word_embeddings.weight", {spec.vocab, h}, 0, 0.5);
  add("embeddings.position_embeddings.weight", {spec.positions, h}, 0, 0.5);
  add("embeddings.token_type_embeddings.weight", {spec.types, h}, 0, 0.5);
  add("embeddings.LayerNorm.weight", {h}, 1, 0.1);
  add("embeddings.LayerNorm.bias", {h}, 0, 0.1);
  for (int i = 0; i < spec.layers; ++i) {
    std::string p = "encoder.layer." + std::to_string(i) + ".";
    for (const char* part : {"query", "key", "value"}) {
      add(p + "attention.self." + part + ".weight", {h, h}, 0, linear);
      add(p + "attention.self." + part + ".bias", {h}, 0, 0.1);
    }
    add(p + "attention.output.dense.weight", {h, h}, 0, linear);
    add(p + "attention.output.dense.bias", {h}, 0, 0.1);
    add(p + "attention.output.LayerNorm.weight", {h}, 1, 0.1);
    add(p + "attention.output.LayerNorm.bias", {h}, 0, 0.1);
    add(p + "intermediate.dense.weight", {in, h}, 0, linear);
    add(p + "intermediate.dense.bias", {in}, 0, 0.1);
    add(p + "output.dense.weight", {h, in}, 0, 1.0 / std::sqrt(double(in)));
    add(p + "output.dense.bias", {h}, 0, 0.1);
    add(p + "output.LayerNorm.weight", {h}, 1, 0.1);
    add(p + "output.LayerNorm.bias", {h}, 0, 0.1);
  }
  if (spec.pooler) {
    add("pooler.dense.weight", {h, h}, 0, linear);
    add("pooler.dense.bias", {h}, 0, 0.1);
  }
  return model;
}

// One entry of a hand-made safetensors file. Offsets follow the data unless given as raw JSON.
struct RawTensor {
  std::string name;
  std::string dtype;
  std::vector<int64_t> shape;
  std::string bytes;
  std::string rawOffsets;  // e.g. "[0,12]"; empty: computed
};

inline std::string buildSafetensors(const std::vector<RawTensor>& entries,
                                    const std::map<std::string, std::string>& metadata = {}) {
  std::string header = "{";
  bool first = true;
  if (!metadata.empty()) {
    header += "\"__metadata__\":{";
    bool firstMeta = true;
    for (const auto& [k, v] : metadata) {
      header += (firstMeta ? "\"" : ",\"") + k + "\":\"" + v + "\"";
      firstMeta = false;
    }
    header += "}";
    first = false;
  }
  std::string data;
  for (const RawTensor& e : entries) {
    std::string shape = "[";
    for (size_t i = 0; i < e.shape.size(); ++i) {
      shape += (i ? "," : "") + std::to_string(e.shape[i]);
    }
    shape += "]";
    std::string offsets = e.rawOffsets.empty()
                              ? "[" + std::to_string(data.size()) + "," +
                                    std::to_string(data.size() + e.bytes.size()) + "]"
                              : e.rawOffsets;
    header += (first ? "\"" : ",\"") + e.name + "\":{\"dtype\":\"" + e.dtype +
              "\",\"shape\":" + shape + ",\"data_offsets\":" + offsets + "}";
    first = false;
    data += e.bytes;
  }
  header += "}";
  while (header.size() % 8) header += ' ';
  std::string out(8, '\0');
  uint64_t length = header.size();
  for (int i = 0; i < 8; ++i) out[size_t(i)] = char((length >> (8 * i)) & 0xFF);
  return out + header + data;
}

inline std::string floatBytes(const std::vector<float>& values, bool f16) {
  std::string out;
  if (f16) {
    out.resize(values.size() * 2);
    for (size_t i = 0; i < values.size(); ++i) {
      uint16_t h = floatToHalf(values[i]);
      std::memcpy(&out[i * 2], &h, 2);
    }
  } else {
    out.resize(values.size() * 4);
    std::memcpy(out.data(), values.data(), out.size());
  }
  return out;
}

// The model's entries in file form (prefix and dtype as its spec says).
inline std::vector<RawTensor> rawTensors(const RandomBert& model) {
  std::vector<RawTensor> out;
  std::string prefix = model.spec.bertPrefix ? "bert." : "";
  for (const NamedTensor& t : model.tensors) {
    std::string name = t.name.rfind("pooler.", 0) == 0 ? t.name : prefix + t.name;
    out.push_back({name, model.spec.f16 ? "F16" : "F32", t.shape,
                   floatBytes(t.values, model.spec.f16), ""});
  }
  return out;
}

inline std::map<std::string, std::string> modelMetadata(const RandomBert& model) {
  std::map<std::string, std::string> meta{{"format", "pt"}};
  if (model.spec.heads > 0) meta["num_attention_heads"] = std::to_string(model.spec.heads);
  return meta;
}

inline bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(out);
}

inline bool writeRandomBert(const RandomBert& model, const std::string& path) {
  return writeFile(path, buildSafetensors(rawTensors(model), modelMetadata(model)));
}

}  // namespace zelk::testing
