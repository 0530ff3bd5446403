// Drawing one PDF page into an RGB bitmap for text recognition, with a bound on its size.
#pragma once

#include <optional>

#include "documents/ocr.h"

namespace poppler {
class page;
}

namespace zelk::documents {

// No page bitmap holds more pixels than this (300 MB of RGB), whatever its media box says.
inline constexpr double kMaxRenderPixels = 100'000'000;

// `scale`, or the largest smaller scale at which a page of widthPt x heightPt points renders
// to at most kMaxRenderPixels pixels (counting the rounding the renderer applies).
double boundedScale(double widthPt, double heightPt, double scale);

// The page drawn at `scale` (2 = 144 dpi) on opaque white, or at the bounded scale when that
// bitmap would be too large. Nothing when a side comes to 0 pixels or the bitmap cannot be
// made. Not thread-safe with respect to other uses of the page's document.
std::optional<RGBImage> renderPage(const poppler::page& page, double scale);

// Whether the page, drawn at a quarter of the resolution renderPage would use (a sixteenth of
// the pixels), comes out all one colour. Such a page is taken to be blank without drawing it in
// full: whatever vanishes at that size is invisible to a reader. False when it can't be drawn.
bool drawsBlank(const poppler::page& page, double scale);

}  // namespace zelk::documents
