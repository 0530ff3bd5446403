#include "documents/pdf_parser.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "documents/document_parser.h"
#include "documents/internal/pdf_render.h"
#include "documents/internal/text_util.h"
#include "documents/ocr.h"
#include "platform/unicode.h"

namespace zelk {
namespace {

constexpr double kRenderScale = 2;
const std::vector<std::string> kLanguages = {"en-US"};

// poppler reports every syntax problem of a damaged file on standard error; the reader's own
// result is what matters here.
void silencePoppler() {
  static std::once_flag once;
  std::call_once(once, [] {
    poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr);
  });
}

size_t trimmedLength(std::string_view text) {
  return platform::graphemeCount(documents::trimWhitespaceAndNewlines(text));
}

// poppler ends every line and every block of a page's text, the last ones too, with line feeds
// (and may add a form feed after the page); the page's text is what comes before them.
std::string pageText(const poppler::page& page) {
  poppler::byte_array bytes =
      page.text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
  std::string text(bytes.begin(), bytes.end());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\f')) text.pop_back();
  return platform::sanitizeUtf8(text);
}

// Draws and recognises the listed pages, on `threads` threads. The caller's thread uses the
// caller's document; every other thread opens the file again, because a poppler document must
// not be drawn from two threads at once. Each page's result lands in its own slot, so the text
// never depends on which page finished first, and each thread holds one page image at a time.
class PageRecognizer {
 public:
  PageRecognizer(const std::vector<int>& pages, std::vector<std::string>& recognised,
                 std::vector<char>& rendered)
      : pages_(pages), recognised_(recognised), rendered_(rendered) {}

  void run(const std::string& path, poppler::document& doc, int threads) {
    threads = std::min<int>(threads, static_cast<int>(pages_.size()));
    std::vector<std::thread> helpers;
    for (int i = 1; i < threads; ++i) {
      helpers.emplace_back([this, &path] {
        // A thread that cannot open its own copy takes no pages; the others read them all.
        try {
          std::unique_ptr<poppler::document> own(poppler::document::load_from_file(path));
          if (own && !own->is_locked()) work(*own);
        } catch (...) {
        }
      });
    }
    work(doc);
    for (std::thread& helper : helpers) helper.join();
  }

 private:
  void work(poppler::document& doc) {
    for (;;) {
      size_t k = next_.fetch_add(1);
      if (k >= pages_.size()) return;
      int j = pages_[k];
      // A page that fails here (even for want of memory) counts as one that could not be
      // drawn; the others go on.
      try {
        std::unique_ptr<poppler::page> page(doc.create_page(j));
        if (!page) continue;
        // Long runs of empty pages (and hostile files of thousands of them) cost a small
        // drawing each instead of a full one.
        if (documents::drawsBlank(*page, kRenderScale)) {
          rendered_[j] = 1;
          continue;
        }
        std::optional<RGBImage> image = documents::renderPage(*page, kRenderScale);
        if (!image) continue;
        recognised_[j] = OCR::recognize(*image, kLanguages);
        rendered_[j] = 1;
      } catch (...) {
        rendered_[j] = 0;
      }
    }
  }

  const std::vector<int>& pages_;
  std::vector<std::string>& recognised_;  // slot j written only by the thread that took page j
  std::vector<char>& rendered_;           // likewise
  std::atomic<size_t> next_{0};
};

int defaultThreads() {
  unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 2u));
}

}  // namespace

std::string PDFParser::parse(const std::string& path) {
  ocrPageCount_ = 0;
  pageCount_ = 0;
  ocrPages_.clear();
  thinPages_.clear();
  silencePoppler();

  std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
  if (!doc) throw DocumentParser::ParseError::parseFailure("Could not open PDF");
  if (doc->is_locked()) {
    throw DocumentParser::ParseError::parseFailure(
        "Could not open PDF: it is password-protected, and zelk has no password to open it. "
        "The user can save a copy without a password and share that instead.");
  }
  int count = std::max(0, doc->pages());
  pageCount_ = count;

  // First pass: every page's text layer (none when the page cannot be had).
  std::vector<std::unique_ptr<poppler::page>> pages(count);
  std::vector<std::string> layers(count);
  std::vector<size_t> lengths(count, 0);
  for (int j = 0; j < count; ++j) {
    pages[j].reset(doc->create_page(j));
    if (!pages[j]) continue;
    layers[j] = pageText(*pages[j]);
    lengths[j] = trimmedLength(layers[j]);
  }

  // The typical page: the middle of the non-empty page sizes (the upper middle for an even
  // count); pages under 30% of it are thin.
  std::vector<size_t> sizes;
  for (size_t n : lengths) {
    if (n > 0) sizes.push_back(n);
  }
  std::sort(sizes.begin(), sizes.end());
  size_t typical = sizes.empty() ? 0 : sizes[sizes.size() / 2];
  size_t threshold = typical * 3 / 10;

  // Second pass: what each page gives, with recognition where the text layer is missing or
  // thin. The pages to recognise are drawn and read first (in parallel); the results are then
  // settled in page order.
  enum class Plan { skip, layer, thin, scanned };
  std::vector<Plan> plans(count, Plan::skip);
  std::vector<int> toRecognise;
  for (int j = 0; j < count; ++j) {
    if (!pages[j]) continue;
    if (lengths[j] > 0) {
      bool thin = typical >= 800 && lengths[j] < threshold && j != count - 1;
      plans[j] = thin ? Plan::thin : Plan::layer;
      if (!thin) continue;
    } else {
      plans[j] = Plan::scanned;
    }
    toRecognise.push_back(j);
  }
  pages.clear();
  std::vector<std::string> recognised(count);
  std::vector<char> rendered(count, 0);
  if (!toRecognise.empty()) {
    int threads = options_.ocrThreads > 0 ? options_.ocrThreads : defaultThreads();
    PageRecognizer(toRecognise, recognised, rendered).run(path, *doc, threads);
  }

  std::string out;
  auto append = [&](const std::string& text) {
    if (!out.empty()) out += "\n\n";
    out += text;
  };
  for (int j = 0; j < count; ++j) {
    switch (plans[j]) {
      case Plan::skip: break;
      case Plan::layer: append(layers[j]); break;
      case Plan::thin:
        if (rendered[j] && trimmedLength(recognised[j]) >= 2 * lengths[j]) {
          ++ocrPageCount_;
          ocrPages_.push_back(j + 1);
          append(recognised[j]);
        } else {
          if (rendered[j]) thinPages_.push_back(j + 1);
          append(layers[j]);
        }
        break;
      case Plan::scanned:
        if (!rendered[j]) break;
        ++ocrPageCount_;
        ocrPages_.push_back(j + 1);
        if (trimmedLength(recognised[j]) > 0) append(recognised[j]);
        break;
    }
  }
  return out;
}

}  // namespace zelk
