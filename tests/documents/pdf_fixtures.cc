#include "documents/pdf_fixtures.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace zelk::testing {
namespace {

constexpr double kMargin = 54;
constexpr double kScanDPI = 200;
const char* const kFont = "DejaVu Sans";

// Greedy word wrap by the width cairo measures for the current font.
std::vector<std::string> wrap(cairo_t* cr, const std::string& text, double width) {
  std::vector<std::string> lines;
  std::istringstream paragraphs(text);
  std::string paragraph;
  while (std::getline(paragraphs, paragraph)) {
    std::istringstream words(paragraph);
    std::string word, line;
    while (words >> word) {
      std::string candidate = line.empty() ? word : line + " " + word;
      cairo_text_extents_t ext;
      cairo_text_extents(cr, candidate.c_str(), &ext);
      if (!line.empty() && ext.x_advance > width) {
        lines.push_back(line);
        line = word;
      } else {
        line = candidate;
      }
    }
    lines.push_back(line);
  }
  return lines;
}

// Draws wrapped text from the top-left margin down; returns the y below the last line.
double drawText(cairo_t* cr, const std::string& text, double fontSize, double x, double y,
                double width) {
  cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, fontSize);
  cairo_set_source_rgb(cr, 0, 0, 0);
  for (const std::string& line : wrap(cr, text, width)) {
    y += fontSize * 1.3;
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, line.c_str());
  }
  return y;
}

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

// An opaque white raster of w x h points at kScanDPI; `draw` paints on it in points.
template <typename Draw>
Surface raster(double w, double h, Draw draw) {
  double scale = kScanDPI / 72;
  Surface image(cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(w * scale),
                                           static_cast<int>(h * scale)),
                &cairo_surface_destroy);
  Context cr(cairo_create(image.get()), &cairo_destroy);
  cairo_set_source_rgb(cr.get(), 1, 1, 1);
  cairo_paint(cr.get());
  cairo_scale(cr.get(), scale, scale);
  draw(cr.get());
  cairo_surface_flush(image.get());
  return image;
}

// Places a raster at (x, y) points, sized w x h points.
void placeImage(cairo_t* cr, cairo_surface_t* image, double x, double y) {
  cairo_save(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, 72 / kScanDPI, 72 / kScanDPI);
  cairo_set_source_surface(cr, image, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
}

void drawChart(cairo_t* cr, double w, double h, bool labelled) {
  const double values[] = {0.55, 0.8, 0.35, 0.95, 0.6, 0.7};
  const char* const names[] = {"North 1250", "South 1820", "East 790",
                               "West 2160",  "Coast 1365", "Inland 1590"};
  double baseY = h - 40, top = labelled ? 60 : 10, barW = w / 9;
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, 1.5);
  cairo_move_to(cr, 30, top);
  cairo_line_to(cr, 30, baseY);
  cairo_line_to(cr, w - 10, baseY);
  cairo_stroke(cr);
  for (int i = 0; i < 6; ++i) {
    double x = 45 + i * (barW + 18), bh = values[i] * (baseY - top - 10);
    cairo_set_source_rgb(cr, 0.25 + 0.1 * i, 0.35, 0.6);
    cairo_rectangle(cr, x, baseY - bh, barW, bh);
    cairo_fill(cr);
    if (labelled) {
      cairo_set_source_rgb(cr, 0, 0, 0);
      cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
      cairo_set_font_size(cr, 9);
      cairo_move_to(cr, x, baseY + 14);
      cairo_show_text(cr, names[i]);
    }
  }
  if (labelled) {
    drawText(cr,
             "Quarterly revenue by sales region in thousands of dollars for the fiscal year "
             "ending in June, compared with the targets the board approved in the spring",
             11, 30, 0, w - 40);
  }
}

std::string hex(const unsigned char* bytes, size_t n) {
  std::string out;
  char buf[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

void rc4(const unsigned char* key, size_t keyLen, unsigned char* data, size_t n) {
  std::array<unsigned char, 256> s;
  for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % keyLen]) & 255;
    std::swap(s[i], s[j]);
  }
  for (size_t k = 0, i = 0, j = 0; k < n; ++k) {
    i = (i + 1) & 255;
    j = (j + s[i]) & 255;
    std::swap(s[i], s[j]);
    data[k] ^= s[(s[i] + s[j]) & 255];
  }
}

std::array<unsigned char, 16> md5(const std::string& data) {
  std::array<unsigned char, 16> out{};
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_md5(), nullptr);
  return out;
}

const unsigned char kPad[32] = {0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E,
                                0x56, 0xFF, 0xFA, 0x01, 0x08, 0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68,
                                0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

std::string padded(const std::string& password) {
  std::string out = password.substr(0, 32);
  out.append(reinterpret_cast<const char*>(kPad), 32 - out.size());
  return out;
}

}  // namespace

PDFBuilder& PDFBuilder::textPage(const std::string& text, double fontSize) {
  pages_.push_back({Kind::text, text, fontSize});
  return *this;
}

PDFBuilder& PDFBuilder::scannedPage(const std::string& text, double fontSize) {
  pages_.push_back({Kind::scanned, text, fontSize});
  return *this;
}

PDFBuilder& PDFBuilder::chartPage(const std::string& text, bool labelledChart) {
  Page page{Kind::chart, text, 10};
  page.labelled = labelledChart;
  pages_.push_back(page);
  return *this;
}

PDFBuilder& PDFBuilder::emptyPage(double widthPt, double heightPt) {
  Page page{Kind::empty, "", 10};
  page.width = widthPt;
  page.height = heightPt;
  pages_.push_back(page);
  return *this;
}

PDFBuilder& PDFBuilder::sizedTextPage(double widthPt, double heightPt, const std::string& text) {
  Page page{Kind::text, text, 10};
  page.width = widthPt;
  page.height = heightPt;
  pages_.push_back(page);
  return *this;
}

bool PDFBuilder::write(const std::string& path) const {
  Surface pdf(cairo_pdf_surface_create(path.c_str(), 612, 792), &cairo_surface_destroy);
  if (cairo_surface_status(pdf.get()) != CAIRO_STATUS_SUCCESS) return false;
  for (const Page& page : pages_) {
    cairo_pdf_surface_set_size(pdf.get(), page.width, page.height);
    Context cr(cairo_create(pdf.get()), &cairo_destroy);
    double textWidth = page.width - 2 * kMargin;
    switch (page.kind) {
      case Kind::text: drawText(cr.get(), page.text, page.fontSize, kMargin, kMargin, textWidth);
        break;
      case Kind::scanned: {
        Surface image = raster(page.width, page.height, [&](cairo_t* r) {
          drawText(r, page.text, page.fontSize, kMargin, kMargin, textWidth);
        });
        placeImage(cr.get(), image.get(), 0, 0);
        break;
      }
      case Kind::chart: {
        double y = drawText(cr.get(), page.text, page.fontSize, kMargin, kMargin, textWidth);
        double chartW = textWidth, chartH = 300;
        Surface image = raster(chartW, chartH,
                               [&](cairo_t* r) { drawChart(r, chartW, chartH, page.labelled); });
        placeImage(cr.get(), image.get(), kMargin, y + 30);
        break;
      }
      case Kind::empty: break;
    }
    cairo_show_page(cr.get());
  }
  cairo_surface_finish(pdf.get());
  return cairo_surface_status(pdf.get()) == CAIRO_STATUS_SUCCESS;
}

std::string proseOfLength(size_t characters, unsigned seed) {
  static const char* const kWords[] = {
      "annual", "report", "income",  "balance", "account", "market", "growth", "revenue",
      "cost",   "profit", "summary", "review",  "budget",  "plan",   "region", "sales",
      "year",   "total",  "change",  "policy",  "board",   "notes",  "cash",   "asset"};
  std::string out;
  unsigned state = seed * 2654435761u + 12345;
  while (out.size() < characters) {
    state = state * 1103515245u + 12345;
    if (!out.empty()) out += ' ';
    out += kWords[(state >> 16) % (sizeof kWords / sizeof *kWords)];
  }
  out.resize(characters);
  while (!out.empty() && out.back() == ' ') out.back() = 'x';
  return out;
}

std::vector<std::string> knownWords(size_t count) {
  static const char* const kWords[] = {
      "garden",   "window",   "river",    "mountain", "letter",   "basket",   "candle",
      "doctor",   "engine",   "forest",   "harbor",   "island",   "kitchen",  "ladder",
      "market",   "number",   "orange",   "pencil",   "question", "rabbit",   "silver",
      "table",    "umbrella", "valley",   "winter",   "yellow",   "bottle",   "castle",
      "dinner",   "finger",   "guitar",   "hammer",   "jacket",   "kettle",   "lemon",
      "mirror",   "needle",   "pillow",   "rocket",   "saddle",   "ticket",   "violin",
      "wallet",   "anchor",   "bridge",   "carpet",   "desert",   "feather",  "planet",
      "meadow",   "country",  "morning",  "evening",  "station",  "picture",  "weather",
      "library",  "teacher",  "history",  "journey",  "language", "mountain", "machine",
      "hospital", "printer",  "village",  "student",  "problem",  "reason",   "product",
      "service",  "company",  "building", "chapter",  "element",  "frequent", "general",
      "holiday",  "interest", "judgment", "material", "natural",  "opinion",  "passage",
      "quality",  "research", "shoulder", "thousand", "universe", "vehicle",  "welcome",
      "boundary", "calendar", "daughter", "evidence", "festival", "graduate", "heritage",
      "industry", "keyboard", "location", "midnight", "notebook", "operator", "painting"};
  std::vector<std::string> out;
  size_t n = sizeof kWords / sizeof *kWords;
  for (size_t i = 0; i < count; ++i) out.push_back(kWords[i % n]);
  return out;
}

std::string encryptedPDFBytes() {
  const std::string userPassword = "secret", ownerPassword = "owner";
  const std::string id = "0123456789ABCDEF";  // 16 bytes
  const int32_t permissions = -44;
  // O: RC4 of the padded user password under MD5(padded owner password).
  auto ownerKey = md5(padded(ownerPassword));
  std::string o = padded(userPassword);
  rc4(ownerKey.data(), 5, reinterpret_cast<unsigned char*>(o.data()), 32);
  // File key: MD5(padded user password, O, P little-endian, first ID), first 5 bytes.
  std::string keyInput = padded(userPassword) + o;
  for (int i = 0; i < 4; ++i) {
    keyInput += static_cast<char>((static_cast<uint32_t>(permissions) >> (8 * i)) & 0xFF);
  }
  keyInput += id;
  auto fileKey = md5(keyInput);
  std::string u(reinterpret_cast<const char*>(kPad), 32);
  rc4(fileKey.data(), 5, reinterpret_cast<unsigned char*>(u.data()), 32);

  std::string content = "BT /F1 24 Tf 72 700 Td (Secret!) Tj ET";
  // Each object's data is encrypted with MD5(file key, object number, generation).
  std::string objectKeyInput(reinterpret_cast<const char*>(fileKey.data()), 5);
  objectKeyInput += std::string("\x04\x00\x00\x00\x00", 5);
  auto objectKey = md5(objectKeyInput);
  rc4(objectKey.data(), 10, reinterpret_cast<unsigned char*>(content.data()), content.size());

  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
          "\nendstream",
      "<< /Filter /Standard /V 1 /R 2 /O <" +
          hex(reinterpret_cast<const unsigned char*>(o.data()), 32) + "> /U <" +
          hex(reinterpret_cast<const unsigned char*>(u.data()), 32) + "> /P " +
          std::to_string(permissions) + " >>"};
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  char line[32];
  for (size_t offset : offsets) {
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    out += line;
  }
  std::string idHex = hex(reinterpret_cast<const unsigned char*>(id.data()), id.size());
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R /Encrypt 5 0 R /ID [<" + idHex + "> <" + idHex + ">] >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return out;
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace zelk::testing
