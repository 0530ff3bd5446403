#include "documents/internal/pdf_render.h"

#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

namespace zelk::documents {
namespace {

// The renderer sizes its bitmap by rounding each side to the nearest pixel.
double renderedPixels(double widthPt, double heightPt, double scale) {
  return std::floor(widthPt * scale + 0.5) * std::floor(heightPt * scale + 0.5);
}

}  // namespace

double boundedScale(double widthPt, double heightPt, double scale) {
  if (!(widthPt > 0) || !(heightPt > 0) || !(scale > 0)) return scale;
  if (renderedPixels(widthPt, heightPt, scale) <= kMaxRenderPixels) return scale;
  // A hostile media box (say 200,000 points square) would ask for terabytes at scale 2: such
  // a page is drawn at the largest scale whose bitmap still fits the bound instead.
  double fitted = std::sqrt(kMaxRenderPixels / (widthPt * heightPt));
  while (fitted > 0 && renderedPixels(widthPt, heightPt, fitted) > kMaxRenderPixels) {
    fitted *= 0.999;
  }
  return fitted;
}

namespace {

std::optional<RGBImage> draw(const poppler::page& page, double scale, bool bounded) {
  // The renderer draws the crop box (the media box clipped to it), so that is what is sized.
  poppler::rectf box = page.page_rect(poppler::crop_box);
  double s = bounded ? boundedScale(box.width(), box.height(), scale) : scale;
  double width = std::trunc(box.width() * s), height = std::trunc(box.height() * s);
  if (!(width > 0) || !(height > 0)) return std::nullopt;
  try {
    poppler::page_renderer renderer;
    renderer.set_image_format(poppler::image::format_rgb24);
    renderer.set_render_hint(poppler::page_renderer::antialiasing);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing);
    renderer.set_paper_color(0xffffffff);
    poppler::image drawn = renderer.render_page(&page, 72 * s, 72 * s);
    if (!drawn.is_valid() || drawn.format() != poppler::image::format_rgb24 ||
        drawn.width() <= 0 || drawn.height() <= 0 || drawn.bytes_per_row() < 3 * drawn.width()) {
      return std::nullopt;
    }
    RGBImage image;
    image.width = drawn.width();
    image.height = drawn.height();
    image.bytesPerRow = drawn.bytes_per_row();
    image.dpi = std::max(1, static_cast<int>(std::lround(72 * s)));
    // The image buffer is reference-counted by poppler; holding a copy of the image keeps it.
    auto owner = std::make_shared<poppler::image>(drawn);
    image.pixels = std::shared_ptr<const uint8_t>(
        owner, reinterpret_cast<const uint8_t*>(owner->const_data()));
    return image;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<RGBImage> renderPage(const poppler::page& page, double scale) {
  return draw(page, scale, true);
}

bool drawsBlank(const poppler::page& page, double scale) {
  poppler::rectf box = page.page_rect(poppler::crop_box);
  std::optional<RGBImage> probe = draw(page, boundedScale(box.width(), box.height(), scale) / 4,
                                       false);
  return probe && isOneColour(*probe);
}

}  // namespace zelk::documents
