#include "protocol/tool_catalogue.h"

#include "ledger/zelk_shared.h"

namespace zelk::MCPTools {
namespace {

const char* kPrivacyNote =
    " Sensitive identifiers (tax IDs, SSNs, account, card and passport numbers) may appear as "
    "placeholders like [SSN 1], hidden on purpose by the user's privacy rules; the same "
    "placeholder always stands for the same value.";

JSONObject str(const std::string& description) {
  return {{"type", "string"}, {"description", description}};
}

JSONObject strings(const std::string& description) {
  return {{"type", "array"}, {"items", JSONObject{{"type", "string"}}},
          {"description", description}};
}

JSONArray enumOf(std::initializer_list<const char*> cases) {
  JSONArray out;
  for (const char* c : cases) out.emplace_back(c);
  return out;
}

JSONObject platform(const char* description) {
  JSONObject p{{"type", "string"},
               {"enum", enumOf({"claude", "chatgpt", "gemini", "perplexity", "other"})}};
  if (description) p["description"] = description;
  return p;
}

JSONArray names(std::initializer_list<const char*> list) { return enumOf(list); }

JSONObject tool(const char* name, const std::string& description, JSONObject annotationsObject,
                JSONObject properties, JSONArray required) {
  return {{"name", name},
          {"description", description},
          {"annotations", std::move(annotationsObject)},
          {"inputSchema", JSONObject{{"type", "object"},
                                     {"properties", std::move(properties)},
                                     {"required", std::move(required)}}}};
}

JSONObject tableQuestionSchema() {
  JSONObject filterItem{
      {"type", "object"},
      {"properties",
       JSONObject{
           {"column", str("A column name as the layout gives it")},
           {"operation",
            JSONObject{{"type", "string"},
                       {"enum", enumOf({"equals", "not_equals", "one_of", "greater_than",
                                        "less_than", "between", "contains", "is_blank"})},
                       {"description", "How to compare"}}},
           {"value",
            JSONObject{{"description",
                        "The value to compare with: a string or number (give long numbers as "
                        "strings and dates as YYYY-MM-DD). A list for one_of, and [low, high] "
                        "for between (both ends included). Leave out for is_blank, or false "
                        "for not blank."}}}}},
      {"required", names({"column", "operation"})}};
  JSONObject groupItem{
      {"type", "object"},
      {"properties",
       JSONObject{{"column", str("A column name as the layout gives it")},
                  {"period",
                   JSONObject{{"type", "string"},
                              {"enum", enumOf({"day", "week", "month", "quarter", "year"})},
                              {"description",
                               "For a date column (weeks are ISO weeks, Monday first)"}}}}},
      {"required", names({"column"})}};
  JSONObject measureItem{
      {"type", "object"},
      {"properties",
       JSONObject{{"operation",
                   JSONObject{{"type", "string"},
                              {"enum", enumOf({"count", "count_distinct", "sum", "average",
                                               "median", "min", "max"})},
                              {"description", "count with no column counts rows"}}},
                  {"column", str("The column to measure")}}},
      {"required", names({"operation"})}};
  JSONObject sortItem{
      {"type", "object"},
      {"properties",
       JSONObject{{"by", str("A group column, or a measure as the answer names it, such as \"sum "
                             "of Amount\"")},
                  {"direction",
                   JSONObject{{"type", "string"},
                              {"enum", enumOf({"ascending", "descending"})},
                              {"description", "Ascending when left out"}}}}},
      {"required", names({"by"})}};
  return {
      {"type", "object"},
      {"description",
       "Leave out for the layout. Every part is optional; with no measures the answer is a "
       "count of rows."},
      {"properties",
       JSONObject{
           {"filters", JSONObject{{"type", "array"},
                                  {"description", "Rows to keep; all must match."},
                                  {"items", std::move(filterItem)}}},
           {"group_by", JSONObject{{"type", "array"},
                                   {"description",
                                    "Up to 3 columns. A date column can be grouped by period."},
                                   {"items", std::move(groupItem)}}},
           {"measures", JSONObject{{"type", "array"}, {"items", std::move(measureItem)}}},
           {"sort", JSONObject{{"type", "array"},
                               {"description", "Without sort, the largest groups come first."},
                               {"items", std::move(sortItem)}}},
           {"limit", JSONObject{{"type", "integer"},
                                {"description", "At most this many result rows (never more than " +
                                                    std::to_string(kTableResultRowCeiling) + ")"}}},
           {"date_order",
            JSONObject{{"type", "string"},
                       {"enum", enumOf({"day_first", "month_first"})},
                       {"description", "Only when the layout says a date column reads both ways"}}},
           {"decimal",
            JSONObject{{"type", "string"},
                       {"enum", enumOf({"point", "comma"})},
                       {"description",
                        "Only when the layout says a number column reads both ways"}}}}}};
}

}  // namespace

bool isKnownName(const std::string& name) {
  for (const char* known : knownNames) {
    if (name == known) return true;
  }
  return false;
}

JSONObject annotations(const std::string& title) {
  return {{"title", title},
          {"readOnlyHint", true},
          {"destructiveHint", false},
          {"idempotentHint", true},
          {"openWorldHint", false}};
}

JSONArray toolDefinitions() { return toolDefinitions(ZelkShared::aiOrganizeBases()); }

JSONArray toolDefinitions(bool includeProposeBase) {
  JSONArray tools;
  tools.push_back(tool(
      "optimize_file",
      std::string("Reads one of the user's documents or files on this Mac, prepared for AI. "
                  "Removes what carries no meaning (repeated headers and footers, spacing, table "
                  "borders, page numbers), so savings are large on statements, forms, "
                  "spreadsheets and web pages and small on prose that is already dense. Reports "
                  "whether every significant number in the original survived (fidelity). "
                  "Supports PDF (including scanned pages), DOCX, PPTX, XLSX, CSV, JSON, HTML, TXT "
                  "and MD. Call this before reading any large document.") +
          kPrivacyNote,
      annotations("Optimize a document"),
      {{"file_path", str("Absolute path to the file, or its name as smart_select shows it (folder "
                         "within the base and file name)")},
       {"base_name", str("The base the named file is in, when file_path is a name from "
                         "smart_select (optional)")},
       {"cursor", str("For a long document: the next_cursor from the previous page's details, to "
                      "get the next page")},
       {"platform", platform("Target AI platform (optional)")}},
      names({"file_path"})));

  tools.push_back(tool(
      "optimize_text",
      std::string("Prepares text the user pastes or gives you for AI, on this Mac, removing "
                  "boilerplate, duplicates and formatting artifacts, and reports whether every "
                  "significant number survived.") +
          kPrivacyNote,
      annotations("Optimize text"),
      {{"text", str("The text to optimize")}, {"platform", platform(nullptr)}}, names({"text"})));

  tools.push_back(tool(
      "smart_select",
      std::string(
          "Searches the user's documents, files and bases on this Mac. Use this first for any "
          "question about the user's documents, rather than reading or searching their files "
          "yourself. Extracts the most relevant section(s) for a query. For a task that needs "
          "every word, like proofreading or checking chapters against each other, read the "
          "documents whole with fuse_files instead (base_name alone reads a whole base). Works "
          "on a single file, an array of files, or a saved Base (named document collection). "
          "Provide exactly one of: file_path, file_paths, or base_name. More token-efficient "
          "than optimizing whole documents when you only need specific information.") +
          kPrivacyNote,
      annotations("Find relevant passages"),
      {{"file_path", str("Absolute path to a single file")},
       {"file_paths", strings("Array of absolute file paths to search across")},
       {"base_name", str("Name of a saved Base (document collection defined in zelk)")},
       {"sections",
        strings("Progressive disclosure: source_file ids from a prior response's map[] to scope "
                "this call to just those documents. Read the map, then drill into the "
                "document(s) you want. For an EXACT VALUE (a figure, date, id) that a first call "
                "missed, drill into the likely document AND raise token_budget to pull more of it "
                "-- that reliably surfaces values which rank low. For conceptual questions keep "
                "the budget focused.")},
       {"query", str("The question in plain words, with the specific names, dates and terms the "
                     "documents would use (for example: \"notice period in the Acme services "
                     "contract\"), not just keywords.")},
       {"map_limit",
        JSONObject{{"type", "integer"},
                   {"description", "How many documents map[] lists on a big base (default 50, "
                                   "most relevant first; up to 500)"}}},
       {"map_only",
        JSONObject{{"type", "boolean"},
                   {"description",
                    "Return only the map (every document with its token count), coverage and "
                    "notices, with no excerpts. Use it to plan before deciding what to read."}}},
       {"token_budget",
        JSONObject{{"type", "integer"},
                   {"description",
                    "Ceiling on the excerpt payload in tokens. zelk fills up to this with "
                    "relevant content and stops; the map/coverage/notices are always returned in "
                    "full. coverage.budget_tokens reports the effective ceiling."}}},
       {"platform", platform(nullptr)}},
      names({"query"})));

  tools.push_back(tool(
      "table_question",
      "Works out exact figures from a table on this Mac: counts, sums, averages, medians, "
      "minimums and maximums over every row of a CSV, TSV or Excel sheet, with filters and "
      "groups. Use it for totals, averages, counts or rankings instead of reading a table's rows "
      "or estimating from passages. Call it first without question for the layout (columns, the "
      "type zelk read each as, row count, blanks, examples), then ask with question using the "
      "column names it gives. When smart_select's tables[] already lists the file's columns, "
      "skip the layout and ask straight away. Returns only the result and how it was reached. "
      "Columns hidden by the user's privacy rules can be counted but not grouped, filtered or "
      "shown.",
      annotations("Answer a question about a table"),
      {{"file_path", str("Absolute path to a .csv, .tsv or .xlsx file, or its name as "
                         "smart_select shows it")},
       {"base_name", str("The base the named file is in, when file_path is a name from "
                         "smart_select (optional)")},
       {"sheet", str("For an Excel file with more than one sheet with data: the sheet to use, as "
                     "the layout lists it")},
       {"question", tableQuestionSchema()}},
      names({"file_path"})));

  tools.push_back(tool(
      "fuse_files",
      std::string("Reads several of the user's documents or files on this Mac as one, prepared "
                  "for AI, with clear source attribution for each file. Pass base_name alone to "
                  "read a whole base in folder and file-name order (up to 100k tokens). Returns "
                  "the text as plain text with its details in a second block; a long read comes "
                  "in pages of about 20k tokens, with next_cursor in the details.") +
          kPrivacyNote,
      annotations("Fuse documents"),
      {{"file_paths", strings("Files to combine: absolute paths, or names as smart_select shows "
                              "them. Leave out, with base_name, to read the whole base.")},
       {"base_name", str("The base to read whole (with no file_paths), or the base the named "
                         "files are in")},
       {"cursor", str("For a long read: the next_cursor from the previous page's details, to get "
                      "the next page")},
       {"platform", platform(nullptr)}},
      JSONArray{}));

  tools.push_back(tool(
      "find_text",
      "Finds exact words in the user's documents and files in a base on this Mac: every place a "
      "word, phrase or name appears, grouped by file, with where in the file and the sentence "
      "around it. Use it for exact wording, continuity and consistency checks (every mention of "
      "a name, a number or a phrase); use smart_select for questions. Searches zelk's index, so "
      "it's fast. Sensitive identifiers may appear as placeholders like [SSN 1], hidden on "
      "purpose by the user's privacy rules.",
      annotations("Find exact words"),
      {{"base_name", str("The base to search (list_bases shows them)")},
       {"text", str("The word or phrase to find. Letter case is ignored.")},
       {"any_of", strings("Several words or phrases to find at once, instead of text; results "
                          "say which one matched")},
       {"whole_word",
        JSONObject{{"type", "boolean"},
                   {"description", "Match whole words only, so \"hand\" doesn't match \"handle\" "
                                   "(default false)"}}},
       {"files", strings("Only search these documents (names from map or a previous result)")}},
      names({"base_name"})));

  tools.push_back(tool(
      "list_bases",
      "Lists the user's bases on this Mac: saved collections of their documents and files "
      "defined in zelk, with each base's description of what it contains when the user has "
      "written one. Call this when the user refers to a collection of documents, a project, or "
      "asks what document sets are available, and use the descriptions to pick the right base.",
      annotations("List document bases"), JSONObject{}, JSONArray{}));

  if (includeProposeBase) {
    tools.push_back(tool(
        "propose_base",
        "Propose a new Base (a named document collection the user's AI apps can search with "
        "smart_select) made of documents you have already read through zelk (optimize_file, "
        "fuse_files, smart_select on a file) or that are already in one of the user's bases. Use "
        "it when the user keeps working with the same set of documents. zelk shows the proposal "
        "to the user, who approves, edits or declines it in the zelk app; nothing becomes "
        "searchable until they approve. Documents you haven't read through zelk are refused.",
        JSONObject{{"title", "Propose a document base"},
                   {"readOnlyHint", false},
                   {"destructiveHint", false},
                   {"idempotentHint", false},
                   {"openWorldHint", false}},
        {{"name", str("Short name for the base, e.g. \"Q3 Board\"")},
         {"description", str("What's in it, in a sentence. AI apps read this (list_bases) to "
                             "decide when to search the base.")},
         {"file_paths", strings("Absolute paths of the documents to include")},
         {"reason", str("Why grouping these helps, in one sentence the user will see")}},
        names({"name", "file_paths"})));
  }
  return tools;
}

}  // namespace zelk::MCPTools
