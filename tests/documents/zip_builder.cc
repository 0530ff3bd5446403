#include "zip_builder.h"

#include <unistd.h>
#include <zip.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zelk::testing {

void writeZip(const std::string& path, const ZipEntries& entries) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!archive) throw std::runtime_error("zip_open failed for " + path);
  for (const ZipEntry& e : entries) {
    zip_source_t* source = zip_source_buffer(archive, e.data.data(), e.data.size(), 0);
    if (!source) throw std::runtime_error("zip_source_buffer failed");
    zip_int64_t index = zip_file_add(archive, e.name.c_str(), source, ZIP_FL_OVERWRITE);
    if (index < 0) {
      zip_source_free(source);
      throw std::runtime_error("zip_file_add failed for " + e.name);
    }
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 1);
  }
  if (zip_close(archive) != 0) throw std::runtime_error("zip_close failed for " + path);
}

std::string zipBytes(const ZipEntries& entries) {
  char tmpl[] = "/tmp/zelk-zip-XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  writeZip(tmpl, entries);
  std::ifstream in(tmpl, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(tmpl);
  return bytes;
}

namespace {

const char kContentTypes[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>";

std::string officeRels(const std::string& target) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
         "relationships/officeDocument\" Target=\"" +
         target + "\"/></Relationships>";
}

std::string escapeXML(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out.push_back(c);
  }
  return out;
}

}  // namespace

std::string wordParagraph(const std::string& text) {
  return "<w:p><w:r><w:t xml:space=\"preserve\">" + escapeXML(text) + "</w:t></w:r></w:p>";
}

std::string wordDocument(const std::string& bodyXML) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
         "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
         "<w:body>" + bodyXML + "</w:body></w:document>";
}

ZipEntries docxPackage(const std::string& bodyXML) {
  return {{"[Content_Types].xml", kContentTypes},
          {"_rels/.rels", officeRels("word/document.xml")},
          {"word/document.xml", wordDocument(bodyXML)}};
}

std::string drawingPart(const std::vector<std::string>& paragraphs) {
  std::string body;
  for (const std::string& p : paragraphs) body += "<a:p><a:r><a:t>" + escapeXML(p) + "</a:t></a:r></a:p>";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
         "<p:sld xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
         "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\">"
         "<p:cSld><p:spTree><p:sp><p:txBody>" + body +
         "</p:txBody></p:sp></p:spTree></p:cSld></p:sld>";
}

ZipEntries pptxPackage(const std::vector<Part>& slides, const std::vector<Part>& masters,
                       const std::vector<Part>& layouts) {
  ZipEntries entries = {{"[Content_Types].xml", kContentTypes},
                        {"_rels/.rels", officeRels("ppt/presentation.xml")},
                        {"ppt/presentation.xml", "<p:presentation/>"}};
  for (const Part& m : masters) entries.push_back({m.name, drawingPart(m.paragraphs)});
  for (const Part& l : layouts) entries.push_back({l.name, drawingPart(l.paragraphs)});
  for (const Part& s : slides) entries.push_back({s.name, drawingPart(s.paragraphs)});
  return entries;
}

std::string worksheet(const std::string& rowsXML) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
         "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
         "<sheetData>" + rowsXML + "</sheetData></worksheet>";
}

WorkbookSpec withSheets(std::vector<SheetSpec> sheets) {
  WorkbookSpec spec;
  spec.sheets = std::move(sheets);
  return spec;
}

ZipEntries xlsxPackage(const WorkbookSpec& spec) {
  ZipEntries entries = {{"[Content_Types].xml", kContentTypes},
                        {"_rels/.rels", officeRels("xl/workbook.xml")}};
  std::string sheets, rels;
  for (size_t i = 0; i < spec.sheets.size(); ++i) {
    const SheetSpec& s = spec.sheets[i];
    std::string n = std::to_string(i + 1);
    sheets += "<sheet name=\"" + escapeXML(s.name) + "\" sheetId=\"" + n + "\" r:id=\"rId" + n +
              "\"" + (s.state.empty() ? "" : " state=\"" + s.state + "\"") + "/>";
    rels += "<Relationship Id=\"rId" + n + "\" Type=\"http://schemas.openxmlformats.org/"
            "officeDocument/2006/relationships/worksheet\" Target=\"worksheets/sheet" + n +
            ".xml\"/>";
    entries.push_back({"xl/worksheets/sheet" + n + ".xml", worksheet(s.rowsXML)});
  }
  if (spec.withWorkbookPart) {
    entries.push_back(
        {"xl/workbook.xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
         "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
         "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
         "<workbookPr" + std::string(spec.date1904 ? " date1904=\"1\"" : "") + "/><sheets>" +
             sheets + "</sheets></workbook>"});
    entries.push_back(
        {"xl/_rels/workbook.xml.rels",
         "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
             rels + "</Relationships>"});
  }
  if (!spec.sharedStrings.empty()) {
    std::string si;
    for (const std::string& s : spec.sharedStrings) si += "<si><t>" + escapeXML(s) + "</t></si>";
    entries.push_back({"xl/sharedStrings.xml",
                       "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" +
                           si + "</sst>"});
  }
  if (!spec.cellXfs.empty() || !spec.numFmtsXML.empty()) {
    std::string xfs;
    for (int id : spec.cellXfs) xfs += "<xf numFmtId=\"" + std::to_string(id) + "\"/>";
    entries.push_back({"xl/styles.xml",
                       "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/"
                       "main\"><numFmts>" + spec.numFmtsXML +
                           "</numFmts><cellStyleXfs><xf numFmtId=\"10\"/></cellStyleXfs>"
                           "<cellXfs>" + xfs + "</cellXfs></styleSheet>"});
  }
  return entries;
}

}  // namespace zelk::testing
