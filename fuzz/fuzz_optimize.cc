// Fuzzes the optimizer with its fidelity check: no crash or hang, and a text that comes back
// shortened keeps every significant number of its input (judged with the plain set difference,
// not the check's own shortcut).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "documents/document_format.h"
#include "optimize/optimizer.h"
#include "optimize/optimizer_fidelity.h"
#include "platform/unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::optional<zelk::DocumentFormat> format;
  if (data[0] % 10 < zelk::DocumentFormats::allCases.size()) {
    format = zelk::DocumentFormats::allCases[data[0] % 10];
  }
  // Readers hand the optimizer valid UTF-8.
  std::string text = zelk::platform::sanitizeUtf8(
      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  auto result = zelk::Optimizer::shared().optimize(text, {}, format);
  if (result.stats.sentAsWritten) {
    if (result.text != text) std::abort();
    return 0;
  }
  if (result.text == text) return 0;
  auto in = zelk::OptimizerFidelity::significantNumbers(
      zelk::OptimizerFidelity::contentOnly(text, format), format);
  auto out = zelk::OptimizerFidelity::significantNumbers(result.text, format);
  if (!zelk::OptimizerFidelity::missing(in, out).empty()) std::abort();
  return 0;
}
