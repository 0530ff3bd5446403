// Reader of the safetensors weight format: an 8-byte little-endian header length, a JSON header
// naming each tensor's dtype, shape and byte range, then the raw data. Tensors are read on
// demand with bounded, checked reads; nothing in the file is trusted.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelk {

// A model file that cannot be used; what() says which file and why.
struct ModelLoadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class SafetensorsFile {
 public:
  struct Tensor {
    std::string dtype;  // "F32", "F16", "BF16", ... as written
    std::vector<int64_t> shape;
    uint64_t begin = 0;  // byte range inside the data section
    uint64_t end = 0;
  };

  // Opens the file and validates its header: every tensor's range lies inside the file and
  // matches its shape and dtype. Throws ModelLoadError.
  explicit SafetensorsFile(const std::string& path);
  ~SafetensorsFile();
  SafetensorsFile(const SafetensorsFile&) = delete;
  SafetensorsFile& operator=(const SafetensorsFile&) = delete;

  const std::map<std::string, Tensor>& tensors() const { return tensors_; }
  const std::map<std::string, std::string>& metadata() const { return metadata_; }
  const Tensor* find(const std::string& name) const;
  // Reads a floating-point tensor (F32, F16 or BF16) as 32-bit floats. Throws ModelLoadError.
  std::vector<float> readFloats(const std::string& name) const;
  // Same into a caller's buffer of exactly the tensor's element count.
  void readFloatsInto(const std::string& name, float* out, size_t count) const;

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t dataStart_ = 0;
  std::map<std::string, Tensor> tensors_;
  std::map<std::string, std::string> metadata_;
};

// Half-precision bits to float (IEEE binary16, subnormals and infinities included).
float halfToFloat(uint16_t bits);

}  // namespace zelk
