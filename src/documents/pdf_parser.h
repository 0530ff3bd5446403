// The PDF reader: each page's text layer, with text recognition for scanned pages and for
// pages much thinner than the document's typical page.
#pragma once

#include <string>
#include <vector>

namespace zelk {

// One instance per parse; the counters describe the last call of parse and are read right
// after it returns or throws. An instance is not shared between threads; separate instances
// may run on separate threads.
class PDFParser {
 public:
  struct Options {
    // Pages recognised at once (each on its own thread, each recognition single-threaded).
    // 0 means one per core, at most 2. The text is the same for every value.
    int ocrThreads = 0;
  };

  PDFParser() = default;
  explicit PDFParser(Options options) : options_(options) {}

  // The pages' texts in page order, separated by one empty line. Throws
  // DocumentParser::ParseError::parseFailure("Could not open PDF") when the file is no PDF
  // poppler can open, and "Could not open PDF: it is password-protected..." when it needs a
  // password (none is ever known to this program).
  std::string parse(const std::string& path);

  int ocrPageCount() const { return ocrPageCount_; }
  int pageCount() const { return pageCount_; }
  // 1-based numbers, in page order: pages whose text came from recognition (or that had no
  // text layer, whatever recognition found), and thin pages whose recognised text was not used.
  const std::vector<int>& ocrPages() const { return ocrPages_; }
  const std::vector<int>& thinPages() const { return thinPages_; }

 private:
  Options options_;
  int ocrPageCount_ = 0;
  int pageCount_ = 0;
  std::vector<int> ocrPages_;
  std::vector<int> thinPages_;
};

}  // namespace zelk
