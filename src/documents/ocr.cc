#include "documents/ocr.h"

#include <dlfcn.h>
#include <tesseract/capi.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace zelk {
namespace {

// Tesseract is opened with dlopen on first use: its dependencies cost a session about 13 ms
// of start-up, and most sessions never read a scan. Only its C interface is looked up.
struct Tesseract {
  decltype(&::TessBaseAPICreate) create = nullptr;
  decltype(&::TessBaseAPIDelete) destroy = nullptr;
  decltype(&::TessBaseAPIInit4) init = nullptr;
  decltype(&::TessBaseAPISetPageSegMode) setPageSegMode = nullptr;
  decltype(&::TessBaseAPISetImage) setImage = nullptr;
  decltype(&::TessBaseAPISetSourceResolution) setSourceResolution = nullptr;
  decltype(&::TessBaseAPIRecognize) recognize = nullptr;
  decltype(&::TessBaseAPIGetIterator) getIterator = nullptr;
  decltype(&::TessBaseAPIClear) clear = nullptr;
  decltype(&::TessResultIteratorGetPageIterator) pageIterator = nullptr;
  decltype(&::TessResultIteratorGetUTF8Text) iteratorText = nullptr;
  decltype(&::TessResultIteratorDelete) deleteIterator = nullptr;
  decltype(&::TessPageIteratorNext) next = nullptr;
  decltype(&::TessDeleteText) deleteText = nullptr;
  // libgomp's, when this Tesseract was built with OpenMP.
  void (*setMaxActiveLevels)(int) = nullptr;
};

template <typename F>
bool lookUp(void* handle, const char* name, F& slot) {
  slot = reinterpret_cast<F>(dlsym(handle, name));
  return slot != nullptr;
}

const Tesseract* tesseract() {
  static Tesseract t;
  static bool ok = false;
  static std::once_flag once;
  std::call_once(once, [] {
    void* handle = dlopen("libtesseract.so.5", RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      std::fprintf(stderr, "zelk ocr: Tesseract is not installed; scanned pages give no text\n");
      return;
    }
    ok = lookUp(handle, "TessBaseAPICreate", t.create) &&
         lookUp(handle, "TessBaseAPIDelete", t.destroy) &&
         lookUp(handle, "TessBaseAPIInit4", t.init) &&
         lookUp(handle, "TessBaseAPISetPageSegMode", t.setPageSegMode) &&
         lookUp(handle, "TessBaseAPISetImage", t.setImage) &&
         lookUp(handle, "TessBaseAPISetSourceResolution", t.setSourceResolution) &&
         lookUp(handle, "TessBaseAPIRecognize", t.recognize) &&
         lookUp(handle, "TessBaseAPIGetIterator", t.getIterator) &&
         lookUp(handle, "TessBaseAPIClear", t.clear) &&
         lookUp(handle, "TessResultIteratorGetPageIterator", t.pageIterator) &&
         lookUp(handle, "TessResultIteratorGetUTF8Text", t.iteratorText) &&
         lookUp(handle, "TessResultIteratorDelete", t.deleteIterator) &&
         lookUp(handle, "TessPageIteratorNext", t.next) &&
         lookUp(handle, "TessDeleteText", t.deleteText);
    lookUp(handle, "omp_set_max_active_levels", t.setMaxActiveLevels);
    if (!ok) std::fprintf(stderr, "zelk ocr: this Tesseract lacks its C interface\n");
  });
  return ok ? &t : nullptr;
}

// A Tesseract instance ready for "eng", or null (logged once) when none can be initialised.
TessBaseAPI* newEngine(const Tesseract& t) {
  TessBaseAPI* api = t.create();
  // Recognition without language correction: the dictionaries stay unloaded. Tesseract's own
  // warnings (resolution guesses and the like) would only clutter standard error.
  const char* names[] = {"load_system_dawg", "load_freq_dawg", "debug_file"};
  const char* values[] = {"0", "0", "/dev/null"};
  if (t.init(api, nullptr, "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, const_cast<char**>(names),
             const_cast<char**>(values), 3, false) != 0) {
    t.destroy(api);
    std::fprintf(stderr,
                 "zelk ocr: Tesseract's English data (tesseract-ocr-eng) could not be loaded; "
                 "scanned pages give no text\n");
    return nullptr;
  }
  t.setPageSegMode(api, tesseract::PSM_AUTO);
  return api;
}

// Initialised Tesseract instances waiting for the next call. Loading the English model takes
// a good part of a second, so instances outlive the call that made them; at exit they are
// deleted before Tesseract's own model cache (see pool()). Guarded by lock_.
class EnginePool {
 public:
  EnginePool(const Tesseract& t, TessBaseAPI* first) : t_(t), failed_(first == nullptr) {
    if (first) idle_.push_back(first);
  }
  ~EnginePool() {
    for (TessBaseAPI* api : idle_) t_.destroy(api);
  }

  // An idle instance or a new one; null when Tesseract cannot be initialised.
  TessBaseAPI* take() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (failed_) return nullptr;
      if (!idle_.empty()) {
        TessBaseAPI* api = idle_.back();
        idle_.pop_back();
        return api;
      }
    }
    return newEngine(t_);
  }

  void give(TessBaseAPI* api) {
    std::lock_guard<std::mutex> hold(lock_);
    idle_.push_back(api);
  }

 private:
  const Tesseract& t_;
  std::mutex lock_;
  std::vector<TessBaseAPI*> idle_;
  bool failed_;
};

// The first instance is made before the pool itself: Tesseract's process-wide model cache comes
// into being during that first initialisation, and statics are destroyed in the reverse order,
// so the pool (and its instances) goes first.
EnginePool* pool() {
  const Tesseract* t = tesseract();
  if (!t) return nullptr;
  static EnginePool instance(*t, newEngine(*t));
  return &instance;
}

std::string readLines(const Tesseract& t, TessBaseAPI* api) {
  std::string out;
  TessResultIterator* it = t.getIterator(api);
  if (!it) return out;
  TessPageIterator* page = t.pageIterator(it);
  do {
    char* line = t.iteratorText(it, tesseract::RIL_TEXTLINE);
    if (!line) continue;
    std::string text(line);
    t.deleteText(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty()) continue;
    if (!out.empty()) out += '\n';
    out += text;
  } while (t.next(page, tesseract::RIL_TEXTLINE));
  t.deleteIterator(it);
  return out;
}

}  // namespace

bool isOneColour(const RGBImage& image) {
  const uint8_t* first = image.pixels.get();
  // The first row is checked pixel by pixel, every other row against the first.
  for (int x = 1; x < image.width; ++x) {
    if (std::memcmp(first + 3 * x, first, 3) != 0) return false;
  }
  size_t rowBytes = static_cast<size_t>(image.width) * 3;
  for (int y = 1; y < image.height; ++y) {
    if (std::memcmp(first + static_cast<size_t>(y) * image.bytesPerRow, first, rowBytes) != 0) {
      return false;
    }
  }
  return true;
}

bool OCR::available() {
  EnginePool* engines = pool();
  TessBaseAPI* api = engines ? engines->take() : nullptr;
  if (!api) return false;
  engines->give(api);
  return true;
}

std::string OCR::recognize(const RGBImage& image, const std::vector<std::string>&) {
  if (image.width <= 0 || image.height <= 0 || image.bytesPerRow < 3 * image.width ||
      !image.pixels) {
    return "";
  }
  // A blank page has nothing to recognise; this spares long runs of empty pages the engine.
  if (isOneColour(image)) return "";
  const Tesseract* t = tesseract();
  EnginePool* engines = pool();
  if (!t || !engines) return "";
  // Tesseract's OpenMP loops would each start threads of their own; callers already run one
  // recognition per core, so every region runs on the calling thread alone.
  if (t->setMaxActiveLevels) t->setMaxActiveLevels(0);
  TessBaseAPI* api = engines->take();
  if (!api) return "";
  std::string text;
  try {
    t->setImage(api, image.pixels.get(), image.width, image.height, 3, image.bytesPerRow);
    t->setSourceResolution(api, image.dpi);
    if (t->recognize(api, nullptr) == 0) text = readLines(*t, api);
  } catch (...) {
    text.clear();
  }
  t->clear(api);
  engines->give(api);
  return text;
}

}  // namespace zelk
