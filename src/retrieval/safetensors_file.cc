// Checked reading of safetensors files.
#include "retrieval/safetensors_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "protocol/json_value.h"

namespace zelk {
namespace {

// Real headers are a few tens of kilobytes; this bounds what an untrusted file can make us read.
constexpr uint64_t kMaxHeaderBytes = uint64_t(16) << 20;

size_t dtypeSize(const std::string& dtype) {
  if (dtype == "F64" || dtype == "I64" || dtype == "U64") return 8;
  if (dtype == "F32" || dtype == "I32" || dtype == "U32") return 4;
  if (dtype == "F16" || dtype == "BF16" || dtype == "I16" || dtype == "U16") return 2;
  if (dtype == "I8" || dtype == "U8" || dtype == "BOOL" || dtype == "F8_E4M3" ||
      dtype == "F8_E5M2") {
    return 1;
  }
  return 0;
}

bool readExactly(int fd, void* buffer, size_t size, uint64_t offset) {
  auto* out = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t got = pread(fd, out, size, off_t(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= size_t(got);
    offset += uint64_t(got);
  }
  return true;
}

// A whole non-negative number held exactly by a JSON double.
bool wholeNumber(const JSONValue& v, uint64_t limit, uint64_t& out) {
  const double* d = v.number();
  if (!d || !(*d >= 0) || *d > double(limit) || std::floor(*d) != *d) return false;
  out = uint64_t(*d);
  return true;
}

}  // namespace

float halfToFloat(uint16_t bits) {
  uint32_t sign = uint32_t(bits & 0x8000) << 16;
  uint32_t exponent = (bits >> 10) & 0x1F;
  uint32_t mantissa = bits & 0x3FF;
  uint32_t out;
  if (exponent == 0) {
    if (mantissa == 0) {
      out = sign;
    } else {
      float value = std::ldexp(float(mantissa), -24);
      return sign ? -value : value;
    }
  } else if (exponent == 31) {
    out = sign | 0x7F800000u | (mantissa << 13);
  } else {
    out = sign | ((exponent + 112) << 23) | (mantissa << 13);
  }
  float f;
  std::memcpy(&f, &out, sizeof f);
  return f;
}

SafetensorsFile::SafetensorsFile(const std::string& path) : path_(path) {
  auto fail = [&](const std::string& why) { throw ModelLoadError(path_ + ": " + why); };
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) fail(std::string("cannot open (") + std::strerror(errno) + ")");
  try {
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) fail("not a regular file");
    uint64_t fileSize = uint64_t(st.st_size);
    unsigned char lengthBytes[8];
    if (fileSize < 8 || !readExactly(fd_, lengthBytes, 8, 0)) {
      fail("not a safetensors file (shorter than its 8-byte header length)");
    }
    uint64_t headerLength = 0;
    for (int i = 7; i >= 0; --i) headerLength = (headerLength << 8) | lengthBytes[i];
    if (headerLength > kMaxHeaderBytes) {
      fail("not a safetensors file (header length " + std::to_string(headerLength) +
           " is implausible)");
    }
    if (headerLength > fileSize - 8) fail("truncated (the header runs past the end of the file)");
    std::string header(headerLength, '\0');
    if (!readExactly(fd_, header.data(), header.size(), 8)) fail("cannot read the header");
    dataStart_ = 8 + headerLength;
    uint64_t dataSize = fileSize - dataStart_;

    JSONValue root;
    try {
      root = JSONValue::parse(header);
    } catch (const JSONParseError& e) {
      fail(std::string("the header is not valid JSON (") + e.what() + ")");
    }
    const JSONObject* entries = root.object();
    if (!entries) fail("the header is not a JSON object");
    for (const auto& [name, entry] : *entries) {
      if (name == "__metadata__") {
        if (const JSONObject* meta = entry.object()) {
          for (const auto& [key, value] : *meta) {
            if (const std::string* s = value.string()) metadata_[key] = *s;
          }
        }
        continue;
      }
      const JSONValue* dtype = entry.find("dtype");
      const JSONValue* shape = entry.find("shape");
      const JSONValue* offsets = entry.find("data_offsets");
      if (!dtype || !dtype->string() || !shape || !shape->array() || !offsets ||
          !offsets->array() || offsets->array()->size() != 2) {
        fail("tensor " + name + " has a malformed header entry");
      }
      Tensor tensor;
      tensor.dtype = *dtype->string();
      uint64_t elements = 1;
      for (const JSONValue& dim : *shape->array()) {
        uint64_t d = 0;
        if (!wholeNumber(dim, uint64_t(1) << 40, d)) fail("tensor " + name + " has a bad shape");
        tensor.shape.push_back(int64_t(d));
        if (d != 0 && elements > (uint64_t(1) << 48) / d) {
          fail("tensor " + name + " is implausibly large");
        }
        elements *= d;
      }
      if (!wholeNumber((*offsets->array())[0], uint64_t(1) << 52, tensor.begin) ||
          !wholeNumber((*offsets->array())[1], uint64_t(1) << 52, tensor.end) ||
          tensor.end < tensor.begin) {
        fail("tensor " + name + " has bad data offsets");
      }
      if (tensor.end > dataSize) {
        fail("truncated (tensor " + name + " ends at byte " + std::to_string(tensor.end) +
             " of a data section of " + std::to_string(dataSize) + " bytes)");
      }
      size_t size = dtypeSize(tensor.dtype);
      if (size != 0 && tensor.end - tensor.begin != elements * size) {
        fail("tensor " + name + " holds " + std::to_string(tensor.end - tensor.begin) +
             " bytes, its shape needs " + std::to_string(elements * size));
      }
      tensors_.emplace(name, std::move(tensor));
    }
  } catch (...) {
    close(fd_);
    fd_ = -1;
    throw;
  }
}

SafetensorsFile::~SafetensorsFile() {
  if (fd_ >= 0) close(fd_);
}

const SafetensorsFile::Tensor* SafetensorsFile::find(const std::string& name) const {
  auto it = tensors_.find(name);
  return it == tensors_.end() ? nullptr : &it->second;
}

std::vector<float> SafetensorsFile::readFloats(const std::string& name) const {
  const Tensor* tensor = find(name);
  if (!tensor) throw ModelLoadError(path_ + ": tensor " + name + " is missing");
  size_t count = 1;
  for (int64_t d : tensor->shape) count *= size_t(d);
  std::vector<float> out(count);
  readFloatsInto(name, out.data(), count);
  return out;
}

void SafetensorsFile::readFloatsInto(const std::string& name, float* out, size_t count) const {
  const Tensor* tensor = find(name);
  if (!tensor) throw ModelLoadError(path_ + ": tensor " + name + " is missing");
  size_t size = dtypeSize(tensor->dtype);
  bool isFloat = tensor->dtype == "F32" || tensor->dtype == "F16" || tensor->dtype == "BF16";
  if (!isFloat) {
    throw ModelLoadError(path_ + ": tensor " + name + " has dtype " + tensor->dtype +
                         ", expected F32 or F16");
  }
  if (uint64_t(count) * size != tensor->end - tensor->begin) {
    throw ModelLoadError(path_ + ": tensor " + name + " does not hold " +
                         std::to_string(count) + " values");
  }
  uint64_t offset = dataStart_ + tensor->begin;
  if (size == 4) {
    if (!readExactly(fd_, out, count * 4, offset)) {
      throw ModelLoadError(path_ + ": cannot read tensor " + name);
    }
    return;
  }
  // Half-width values are converted in slices so the staging buffer stays small.
  constexpr size_t kSlice = 1 << 16;
  std::vector<uint16_t> staging(std::min(count, kSlice));
  for (size_t done = 0; done < count;) {
    size_t n = std::min(kSlice, count - done);
    if (!readExactly(fd_, staging.data(), n * 2, offset + done * 2)) {
      throw ModelLoadError(path_ + ": cannot read tensor " + name);
    }
    for (size_t i = 0; i < n; ++i) {
      if (tensor->dtype == "F16") {
        out[done + i] = halfToFloat(staging[i]);
      } else {
        uint32_t bits = uint32_t(staging[i]) << 16;
        std::memcpy(&out[done + i], &bits, 4);
      }
    }
    done += n;
  }
}

}  // namespace zelk
