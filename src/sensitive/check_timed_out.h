// Thrown by detection and redaction when a pattern ran out of its time limit, so that text that
// was not fully checked is never returned as if it had been.
#pragma once

#include <stdexcept>

namespace zelk::SensitiveData {

class CheckTimedOut : public std::runtime_error {
 public:
  CheckTimedOut()
      : std::runtime_error(
            "The text could not be checked for sensitive data in time, so it was not returned. "
            "Try a smaller part of it.") {}
};

}  // namespace zelk::SensitiveData
