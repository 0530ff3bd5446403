// Redaction over arbitrary bytes: never crashes, and the output never contains a value that
// detection found in the input. The first byte chooses whether the text categories are on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/unicode.h"
#include "sensitive/sensitive_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelk;
  if (size == 0 || size > 64 * 1024) return 0;
  SensitiveRules rules = SensitiveRules::defaults();
  if (data[0] & 1) {
    for (SensitiveCategory c : {SensitiveCategory::name, SensitiveCategory::address,
                                SensitiveCategory::phone, SensitiveCategory::email}) {
      rules.actions[c] = SensitiveAction::redact;
    }
  }
  if (data[0] & 2) rules.style = PlaceholderStyle::last4;
  std::string text = platform::sanitizeUtf8(
      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  try {
    std::vector<SensitiveData::Finding> found = SensitiveData::detect(text, rules);
    PlaceholderMap map;
    std::string out = SensitiveData::redact(text, rules, map);
    auto occurrences = [](const std::string& hay, const std::string& needle) {
      size_t n = 0;
      for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
      return n;
    };
    for (const SensitiveData::Finding& f : found) {
      // The input may hold further copies of a value that were no finding (a shape needs its
      // surroundings): those may stay, every found copy must go.
      size_t sameValue = 0;
      for (const SensitiveData::Finding& g : found) sameValue += g.value == f.value;
      if (occurrences(out, f.value) + sameValue > occurrences(text, f.value)) abort();
    }
  } catch (const SensitiveData::CheckTimedOut&) {
    // Refusing is allowed; returning unchecked text is not.
  }
  return 0;
}
