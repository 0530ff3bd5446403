#include "tables/table_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <system_error>

#include "platform/unicode.h"

namespace zelk {

namespace {

// Windows-1252 code points for 0x80..0x9F; 0 marks the five bytes the code page leaves undefined.
constexpr std::array<uint16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool isAscii(std::string_view s) {
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < s.size(); ++i)
    if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
  return true;
}

// A field's bytes made text in place: kept when valid UTF-8, else read as Windows-1252, else
// emptied.
void fieldText(std::string& bytes) {
  if (isAscii(bytes) || platform::isValidUtf8(bytes)) return;
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0xA0) {
      uint16_t cp = kCp1252High[c - 0x80];
      if (cp == 0) {
        out.clear();
        break;
      }
      appendUtf8(out, cp);
    } else {
      appendUtf8(out, c);
    }
  }
  bytes.swap(out);
}

// Drops a UTF-8 sequence cut off at the end of a truncated field, so that the kept part stays
// valid instead of falling back to Windows-1252.
void trimCutSequence(std::string& bytes) {
  size_t n = bytes.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    unsigned char c = static_cast<unsigned char>(bytes[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte: keep looking for the lead
    size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (need > back) bytes.resize(n - back);
    return;
  }
}

// The field state machine of one delimited reading.
class DelimitedParser {
 public:
  DelimitedParser(char delimiter, const TableReader::RowCallback& row)
      : delimiter_(delimiter), row_(row) {
    special_.fill(false);
    special_['\n'] = special_['"'] = special_['\r'] = true;
    special_[static_cast<unsigned char>(delimiter)] = true;
    // Inside quotes the delimiter and carriage returns are field bytes like any other.
    quotedSpecial_.fill(false);
    quotedSpecial_['\n'] = quotedSpecial_['"'] = true;
    beginField();
  }
  // field_ points into the parser itself.
  DelimitedParser(const DelimitedParser&) = delete;
  DelimitedParser& operator=(const DelimitedParser&) = delete;

  // Parses bytes; false once the callback asked to stop.
  bool feed(std::string_view data) {
    const char* p = data.data();
    const char* end = p + data.size();
    while (p < end) {
      unsigned char c = static_cast<unsigned char>(*p);
      const std::array<bool, 256>& special = inQuotes_ ? quotedSpecial_ : special_;
      if (!special[c]) {
        const char* run = p + 1;
        while (run < end && !special[static_cast<unsigned char>(*run)]) ++run;
        append(p, static_cast<size_t>(run - p));
        justClosed_ = false;
        p = run;
        continue;
      }
      ++p;
      if (c == '\n') {
        ++line_;
        if (inQuotes_) {
          append("\n", 1);
          justClosed_ = false;
          continue;
        }
        if (!endRow()) return false;
        rowStart_ = line_;
        continue;
      }
      if (c == '"') {
        if (inQuotes_) {
          inQuotes_ = false;
          justClosed_ = true;
        } else if (justClosed_) {
          append("\"", 1);
          inQuotes_ = true;
          justClosed_ = false;
        } else if (field_->empty() && !fieldCut_) {
          inQuotes_ = true;
        } else {
          append("\"", 1);
        }
        continue;
      }
      justClosed_ = false;
      if (inQuotes_) {
        append(p - 1, 1);  // a delimiter or carriage return inside quotes belongs to the field
      } else if (c == static_cast<unsigned char>(delimiter_)) {
        endField();
      }
      // A carriage return outside quotes is dropped.
    }
    return true;
  }

  void finish() {
    if (!field_->empty() || fieldCut_ || count_ > 0) endRow();
  }

 private:
  void append(const char* bytes, size_t n) {
    size_t room = TableReader::kMaxFieldBytes - field_->size();
    if (n > room) {
      n = room;
      fieldCut_ = true;
    }
    field_->append(bytes, n);
  }

  // Fields are gathered straight into the row's next cell string, which saves a copy per cell;
  // once the row is full they go to a scratch buffer and are dropped.
  void beginField() {
    if (!rowFull_ && count_ < TableReader::kMaxRowFields) {
      if (count_ == fields_.size()) fields_.emplace_back();
      field_ = &fields_[count_];
    } else {
      field_ = &scratch_;
    }
    field_->clear();
    fieldCut_ = false;
  }

  // Ends the pending field without beginning the next.
  void commitField() {
    std::string& cell = *field_;
    if (fieldCut_) trimCutSequence(cell);
    // Once one field is dropped, so are the rest of the row, so that cells keep their columns.
    if (field_ != &scratch_ && rowBytes_ + cell.size() <= TableReader::kMaxRowBytes) {
      rowBytes_ += cell.size();
      ++count_;
      fieldText(cell);
    } else {
      rowFull_ = true;
      cell.clear();
    }
    // Reused capacity stays near the cell's size, so one wide row doesn't pin its memory.
    if (cell.capacity() > 2 * cell.size() + 1024) cell.shrink_to_fit();
  }

  void endField() {
    commitField();
    beginField();
  }

  bool endRow() {
    commitField();
    inQuotes_ = justClosed_ = false;
    if (count_ == 1 && fields_[0].empty()) count_ = 0;
    // Rows of one width keep their cell strings, and with them their capacity.
    fields_.resize(count_);
    bool go = row_(rowStart_, fields_);
    count_ = 0;
    rowBytes_ = 0;
    rowFull_ = false;
    beginField();
    return go;
  }

  const char delimiter_;
  const TableReader::RowCallback& row_;
  std::array<bool, 256> special_;
  std::array<bool, 256> quotedSpecial_;
  std::string* field_ = nullptr;  // the field being read: the next cell, or scratch_
  std::string scratch_;
  bool fieldCut_ = false;
  std::vector<std::string> fields_;  // the row's cells; the first count_ are this row's
  size_t count_ = 0;
  size_t rowBytes_ = 0;
  bool rowFull_ = false;
  bool inQuotes_ = false;
  bool justClosed_ = false;
  int64_t line_ = 1;
  int64_t rowStart_ = 1;
};

// UTF-16 to UTF-8, chunk by chunk: an odd last byte and a last high surrogate wait for the next
// chunk. An unpaired surrogate becomes U+FFFD rather than costing the chunk's text.
class Utf16Decoder {
 public:
  explicit Utf16Decoder(bool bigEndian) : bigEndian_(bigEndian) {}

  void decode(std::string_view data, std::string& out) {
    out.clear();
    std::string_view in = data;
    if (!carry_.empty()) {
      carry_.append(data);
      joined_.swap(carry_);
      carry_.clear();
      in = joined_;
    }
    out.reserve(in.size());
    size_t i = 0;
    const size_t n = in.size();
    while (i + 1 < n) {
      uint32_t u = unit(in, i);
      if (u >= 0xD800 && u <= 0xDBFF) {
        if (i + 3 >= n) break;  // the low half may be in the next chunk
        uint32_t low = unit(in, i + 2);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
          i += 4;
        } else {
          appendUtf8(out, 0xFFFD);
          i += 2;
        }
        continue;
      }
      appendUtf8(out, (u >= 0xDC00 && u <= 0xDFFF) ? 0xFFFD : u);
      i += 2;
    }
    carry_.assign(in.substr(i));
    joined_.clear();
  }

 private:
  uint32_t unit(std::string_view s, size_t i) const {
    uint32_t a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]);
    return bigEndian_ ? (a << 8) | b : (b << 8) | a;
  }
  bool bigEndian_;
  std::string carry_;
  std::string joined_;
};

std::string lowerExtension(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

// Reads until the buffer is full or the file ends, so that the first chunk is a full sample.
size_t readFull(int fd, char* buffer, size_t size, const std::filesystem::path& path) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, buffer + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), path.string());
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

}  // namespace

TableReader::TableReader(std::filesystem::path url) : url_(std::move(url)), safeURL_(url_) {
  if (lowerExtension(url_) == "xlsx") throw ReadError(ReadError::Kind::unreadable);
}

TableReader::TableReader(std::filesystem::path url, std::unique_ptr<TableWorkbook> workbook)
    : url_(std::move(url)), safeURL_(url_), workbook_(std::move(workbook)) {
  if (workbook_) {
    sheets_ = workbook_->sheets();
    tmpURL_ = workbook_->temporaryCopy();
    if (tmpURL_) safeURL_ = *tmpURL_;
  }
}

TableReader::~TableReader() {
  if (tmpURL_) {
    std::error_code ec;
    std::filesystem::remove(*tmpURL_, ec);
  }
}

void TableReader::readRows(const Sheet* sheet, const RowCallback& row) {
  if (!workbook_) {
    readDelimited(row);
    return;
  }
  if (sheets_.empty()) throw ReadError(ReadError::Kind::unreadable);
  workbook_->streamSheet(sheet ? *sheet : sheets_.front(), row);
}

void TableReader::readDelimited(const RowCallback& row) {
  int fd = ::open(safeURL_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), safeURL_.string());
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  enum class Mode { bytes, utf16le, utf16be } mode = Mode::bytes;
  std::vector<char> chunk(kChunkSize);
  std::optional<Utf16Decoder> decoder;
  std::string converted;
  std::optional<DelimitedParser> parser;
  const std::string extension = lowerExtension(url_);
  bool first = true;
  for (;;) {
    size_t n = readFull(fd, chunk.data(), chunk.size(), safeURL_);
    if (n == 0) break;
    std::string_view data(chunk.data(), n);
    if (first) {
      first = false;
      auto at = [&](size_t i) { return static_cast<unsigned char>(data[i]); };
      if (data.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) {
        mode = Mode::utf16le;
        data.remove_prefix(2);
      } else if (data.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) {
        mode = Mode::utf16be;
        data.remove_prefix(2);
      } else if (data.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
        data.remove_prefix(3);
      }
      if (mode != Mode::bytes) decoder.emplace(mode == Mode::utf16be);
    }
    if (decoder) {
      decoder->decode(data, converted);
      data = converted;
    }
    if (!parser) parser.emplace(delimiter(data.substr(0, kDelimiterSample), extension), row);
    if (!parser->feed(data)) return;
  }
  if (parser) parser->finish();
}

char TableReader::delimiter(std::string_view sample, std::string_view extension) {
  std::string ext(extension);
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (ext == "tsv") return '\t';

  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start <= sample.size() && lines.size() < 60) {
    size_t lf = sample.find('\n', start);
    size_t end = lf == std::string_view::npos ? sample.size() : lf;
    if (end > start) lines.push_back(sample.substr(start, end - start));
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  char best = ',';
  int bestScore = 0;
  for (char candidate : {',', ';', '\t', '|'}) {
    std::map<size_t, int> tally;
    for (std::string_view line : lines) {
      size_t count = static_cast<size_t>(std::count(line.begin(), line.end(), candidate));
      if (count > 0) ++tally[count];
    }
    int score = 0;
    for (const auto& [count, agree] : tally) score = std::max(score, agree);
    if (score > bestScore) {
      best = candidate;
      bestScore = score;
    }
  }
  return best;
}

}  // namespace zelk
