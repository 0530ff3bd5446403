// OpenBLAS, loaded on first use rather than at program start: loading it (and its thread pool)
// costs milliseconds that every session would otherwise pay before its first answer.
#pragma once

#include <cblas.h>

namespace zelk::retrieval_internal {

struct Blas {
  using Sgemm = void (*)(CBLAS_ORDER, CBLAS_TRANSPOSE, CBLAS_TRANSPOSE, blasint, blasint, blasint,
                         float, const float*, blasint, const float*, blasint, float, float*,
                         blasint);
  Sgemm sgemm = nullptr;
};

// The loaded library, set to one thread; nullptr when it can't be loaded. Thread-safe.
const Blas* blas();

}  // namespace zelk::retrieval_internal
