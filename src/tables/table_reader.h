// Streams the rows of one table (a CSV or TSV file, or one sheet of a workbook) to a callback,
// without ever holding the file: delimited files go through a fixed 1 MiB buffer, sheets through
// the workbook reader's XML stream. One reader serves one reading pass on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

class TableWorkbook;

class TableReader {
 public:
  struct Sheet {
    std::string name;
    bool hidden = false;
    std::string file;  // the sheet's XML entry inside the package
  };

  // Raised when rows are asked of a workbook that lists no sheet, and by the constructor for a
  // workbook while no workbook reader is linked in.
  struct ReadError : std::runtime_error {
    enum class Kind { unreadable };
    explicit ReadError(Kind k) : std::runtime_error("unreadable"), kind(k) {}
    Kind kind;
  };

  // Takes the row number (from 1: the physical line where the row began) and the row's cells;
  // returns false to stop the reading.
  using RowCallback = std::function<bool(int64_t number, const std::vector<std::string>& cells)>;

  static constexpr size_t kChunkSize = 1 << 20;
  static constexpr size_t kDelimiterSample = 65536;
  // Hostile input stays bounded: a field keeps its first 128 KiB (Excel's cell limit of 32,767
  // characters fits), a row its first 16,384 fields (Excel's width) and 16 MiB of cell text.
  // Whatever lies beyond is read past and dropped, so a 2 GB line costs no more than this.
  static constexpr size_t kMaxFieldBytes = 128 * 1024;
  static constexpr size_t kMaxRowFields = 16384;
  static constexpr size_t kMaxRowBytes = 16 * 1024 * 1024;

  // Opens a table. A delimited file is only recorded here (opening errors come with the first
  // reading). A workbook (.xlsx) needs the workbook reader, which hands its parts in through the
  // second form; without it the first form fails with ReadError::Kind::unreadable.
  explicit TableReader(std::filesystem::path url);
  TableReader(std::filesystem::path url, std::unique_ptr<TableWorkbook> workbook);
  ~TableReader();
  TableReader(const TableReader&) = delete;
  TableReader& operator=(const TableReader&) = delete;

  const std::filesystem::path& url() const { return url_; }
  const std::filesystem::path& safeURL() const { return safeURL_; }
  // The workbook's sheets in workbook order; empty for a delimited file.
  const std::vector<Sheet>& sheets() const { return sheets_; }
  bool hasWorkbook() const { return workbook_ != nullptr; }

  // Rows in file order until the end or the first false: the given sheet (or the first) of a
  // workbook, or the whole delimited file. Throws ReadError for a workbook without sheets, the
  // file system's std::system_error when the file can't be opened or read.
  void readRows(const Sheet* sheet, const RowCallback& row);
  void readDelimited(const RowCallback& row);

  // The delimiter for a sample of the file's first bytes: tab for a ".tsv" extension (any case),
  // otherwise the vote of comma, semicolon, tab and vertical bar over the first 60 non-empty lines.
  static char delimiter(std::string_view sample, std::string_view extension);

 private:
  std::filesystem::path url_;
  std::filesystem::path safeURL_;
  std::optional<std::filesystem::path> tmpURL_;
  std::vector<Sheet> sheets_;
  std::unique_ptr<TableWorkbook> workbook_;
};

// What the table reader needs from the workbook reader (XLSXParser::workbook and streamEntry in
// documents/): the sheet list, and each sheet's rows with cell texts rendered by the workbook's
// cell formats, skipped rows delivered empty and trailing empty cells removed.
class TableWorkbook {
 public:
  virtual ~TableWorkbook() = default;
  virtual std::vector<TableReader::Sheet> sheets() const = 0;
  // Streams one sheet; stops the stream at the first false. Extraction failures are thrown.
  virtual void streamSheet(const TableReader::Sheet& sheet,
                           const TableReader::RowCallback& row) = 0;
  // A temporary copy the workbook reader made (paths unzip would take as a pattern); deleted
  // with the reader.
  virtual std::optional<std::filesystem::path> temporaryCopy() const { return std::nullopt; }
};

}  // namespace zelk
