#include "retrieval/internal/blas.h"

#include <dlfcn.h>

#include <mutex>

namespace zelk::retrieval_internal {

const Blas* blas() {
  static Blas loaded;
  static bool ok = false;
  static std::once_flag once;
  std::call_once(once, [] {
    void* handle = dlopen("libopenblas.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    loaded.sgemm = reinterpret_cast<Blas::Sgemm>(dlsym(handle, "cblas_sgemm"));
    // Parallelism comes from the encoder's own threads; BLAS runs single-threaded.
    auto setThreads = reinterpret_cast<void (*)(int)>(dlsym(handle, "openblas_set_num_threads"));
    if (setThreads) setThreads(1);
    ok = loaded.sgemm != nullptr;
  });
  return ok ? &loaded : nullptr;
}

}  // namespace zelk::retrieval_internal
