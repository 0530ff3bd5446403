#include "optimize/resolve_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "bases/base_manager.h"
#include "protocol/mcp_tool_error.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

// One bases directory for the whole program: BaseManager::shared() reads ZELK_BASES_DIR once.
const TempDir& basesHome() {
  static TempDir* dir = [] {
    auto* d = new TempDir();
    setenv("ZELK_BASES_DIR", d->path().c_str(), 1);
    return d;
  }();
  return *dir;
}

void write(const std::string& path, const std::string& text = "text") {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

Base makeBase(const std::string& id, const std::string& name, std::vector<std::string> paths) {
  Base base;
  base.id = id;
  base.name = name;
  base.paths = std::move(paths);
  base.createdAt = 1700000000;
  return base;
}

std::string refusal(const std::string& path, const std::optional<std::string>& base = std::nullopt) {
  try {
    std::string resolved = MCPTools::resolveFile(path, base);
    return "resolved " + resolved;
  } catch (const MCPToolError& error) {
    EXPECT_EQ(error.kind(), MCPToolError::Kind::refused);
    return error.what();
  }
}

class ResolveFile : public ::testing::Test {
 protected:
  void SetUp() override {
    basesHome();
    files = std::make_unique<TempDir>();
    taxes = files->file("Taxes");
    work = files->file("Work");
    write(taxes + "/2023/return.pdf");
    write(taxes + "/notes.txt");
    write(work + "/notes.txt");
    write(work + "/deep/a/report.docx");
    write(work + "/deep/b/report.docx");
    ASSERT_TRUE(BaseManager::shared().save({makeBase(kTaxes, "Taxes", {taxes}),
                                            makeBase(kWork, "Work", {work})}));
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(basesHome().path() + "/indexes", ec);
  }

  void writeSummary(const std::string& id, const std::string& json) {
    write(basesHome().path() + "/indexes/" + id + ".summary.json", json);
  }

  static constexpr const char* kTaxes = "11111111-1111-4111-8111-111111111111";
  static constexpr const char* kWork = "22222222-2222-4222-8222-222222222222";
  std::unique_ptr<TempDir> files;
  std::string taxes, work;
};

TEST_F(ResolveFile, ExistingPathsResolveDirectly) {
  EXPECT_EQ(MCPTools::resolveFile(taxes + "/notes.txt"), taxes + "/notes.txt");
  EXPECT_EQ(MCPTools::resolveFile(taxes), taxes);  // folders too
  ScopedEnv home("HOME", files->path());
  EXPECT_EQ(MCPTools::resolveFile("~/Work/notes.txt"), files->path() + "/Work/notes.txt");
}

TEST_F(ResolveFile, NamesResolveByDisplayNameThenByPathSuffix) {
  struct Case {
    std::string argument;
    std::optional<std::string> base;
    std::string expected;  // a path, or the refusal text
  } cases[] = {
      {"Taxes/2023/return.pdf", std::nullopt, taxes + "/2023/return.pdf"},
      {"return.pdf", std::nullopt, taxes + "/2023/return.pdf"},
      {"2023/return.pdf", std::nullopt, taxes + "/2023/return.pdf"},
      {" /return.pdf/ ", std::nullopt, taxes + "/2023/return.pdf"},
      {"notes.txt", "Taxes", taxes + "/notes.txt"},
      {"notes.txt", "work", work + "/notes.txt"},  // base names compare case-insensitively
      {"Work/deep/a/report.docx", std::nullopt, work + "/deep/a/report.docx"},
      {"notes.txt", std::nullopt,
       "'notes.txt' is in more than one base (Taxes, Work). Pass base_name to say which."},
      {"report.docx", std::nullopt,
       "File not found: report.docx. Pass a full path, or the file's name as smart_select shows "
       "it with its base as base_name."},
      {"RETURN.PDF", std::nullopt,
       "File not found: RETURN.PDF. Pass a full path, or the file's name as smart_select shows "
       "it with its base as base_name."},
      {"return.pdf", "Nope", "No base named 'Nope'. Use list_bases to see them."},
      {"/no/such/file.pdf", "Nope", "No base named 'Nope'. Use list_bases to see them."},
      {"/no/such/file.pdf", std::nullopt,
       "File not found: /no/such/file.pdf. Pass a full path, or the file's name as smart_select "
       "shows it with its base as base_name."},
  };
  for (const Case& c : cases) {
    std::string got = refusal(c.argument, c.base);
    std::string want = c.expected[0] == '/' ? "resolved " + c.expected : c.expected;
    EXPECT_EQ(got, want) << c.argument;
  }
}

TEST_F(ResolveFile, IndexSummaryNamesWinAndDeletedFilesAreSkipped) {
  std::string gone = taxes + "/gone.pdf";
  writeSummary(kTaxes,
               R"({"indexedAt":"2024-01-01T00:00:00Z","skippedReasons":[],"files":[)"
               R"({"path":")" + taxes + R"(/2023/return.pdf","name":"Tax return 2023"},)"
               R"({"path":")" + gone + R"(","name":"Gone"},)"
               R"({"path":")" + taxes + R"(/notes.txt"}]})");
  EXPECT_EQ(MCPTools::resolveFile("Tax return 2023"), taxes + "/2023/return.pdf");
  // A file without a recorded name is listed under its last path component.
  EXPECT_EQ(refusal("notes.txt"),
            "'notes.txt' is in more than one base (Taxes, Work). Pass base_name to say which.");
  EXPECT_EQ(refusal("Gone", std::string("Taxes")),
            "File not found: Gone. Pass a full path, or the file's name as smart_select shows it "
            "with its base as base_name.");
  // No recorded name equals the folder-style name, but the path ends with it.
  EXPECT_EQ(MCPTools::resolveFile("Taxes/2023/return.pdf"), taxes + "/2023/return.pdf");
}

TEST_F(ResolveFile, DeletedDuplicateMakesTheNameUnique) {
  std::filesystem::remove(taxes + "/notes.txt");
  writeSummary(kTaxes, R"({"indexedAt":"2024-01-01T00:00:00Z","skippedReasons":[],"files":[)"
                       R"({"path":")" + taxes + R"(/notes.txt","name":"notes.txt"}]})");
  EXPECT_EQ(MCPTools::resolveFile("notes.txt"), work + "/notes.txt");
}

TEST_F(ResolveFile, DamagedSummaryFallsBackToTheFolders) {
  writeSummary(kTaxes, R"({"files":[{"name":"x"}]})");
  EXPECT_EQ(MCPTools::resolveFile("return.pdf"), taxes + "/2023/return.pdf");
}

}  // namespace
}  // namespace zelk
