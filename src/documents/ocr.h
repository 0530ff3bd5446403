// Text recognition in page images, with Tesseract (language "eng").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelk {

// An 8-bit-per-component RGB image without alpha; rows are bytesPerRow bytes apart and the
// pixels hold at least bytesPerRow x height bytes.
struct RGBImage {
  int width = 0;
  int height = 0;
  int bytesPerRow = 0;
  int dpi = 144;  // the resolution it was drawn at, which guides recognition
  // Shared rather than owned: the pixels usually stay in the renderer's own image buffer, so a
  // page is never copied between drawing and recognition.
  std::shared_ptr<const uint8_t> pixels;
};

// Whether every pixel of the image has the same colour (such an image holds no text).
bool isOneColour(const RGBImage& image);

namespace OCR {

// The recognised text lines of the image, in the order Tesseract reads them, joined by line
// feeds. Languages are BCP 47 codes ("en-US"); English is the only language this build reads,
// and it is used when none of the codes names another. Gives the empty text when recognition
// fails, when Tesseract or its English data is not installed (logged once on standard error),
// or when the image is of one colour.
//
// Thread safety: any thread may call it at any time. Each call uses a Tesseract instance of
// its own (instances are kept for reuse) and each instance runs single-threaded, so that
// concurrent calls never oversubscribe the cores.
std::string recognize(const RGBImage& image, const std::vector<std::string>& languages);

// Whether Tesseract and its English data could be loaded.
bool available();

}  // namespace OCR
}  // namespace zelk
