#include "bases/base_manager.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

class BaseFiles : public ::testing::Test {
 protected:
  std::string make(const std::string& relative, const std::string& text = "x") {
    std::string path = dir_.file(relative);
    platform::createDirectories(platform::parentPath(path));
    EXPECT_TRUE(platform::writeFileAtomically(path, text));
    return path;
  }
  std::vector<std::string> names(const BaseManager::Resolution& r) {
    std::vector<std::string> out;
    for (const auto& f : r.files) out.push_back(f.name);
    return out;
  }
  TempDir dir_;
  ScopedEnv home_{"HOME", dir_.path()};
};

TEST_F(BaseFiles, MissingPathIsOneSkippedRecord) {
  auto r = BaseManager::resolve({dir_.file("gone/Taxes")}, {}, {});
  EXPECT_TRUE(r.files.empty());
  ASSERT_EQ(r.skipped.size(), 1u);
  EXPECT_EQ(r.skipped[0].filename, "Taxes");
  EXPECT_EQ(r.skipped[0].reason, "not found (moved or deleted?)");
  EXPECT_FALSE(r.skipped[0].path.has_value());
}

TEST_F(BaseFiles, ListsSupportedDocumentsInStandardOrderWithRelativeNames) {
  make("Docs/report 10.pdf");
  make("Docs/report 9.PDF");
  make("Docs/Alpha.md");
  make("Docs/2024/summary.docx");
  make("Docs/notes.bin");           // unsupported: ignored silently
  make("Docs/.hidden.txt");         // hidden
  make("Docs/.cache/inside.txt");   // inside a hidden folder
  make("Docs/node_modules/x.txt");  // ignored folder
  make("Docs/build.txt");
  make("Docs/build/out.txt");       // a folder named build is not entered
  auto r = BaseManager::resolve({dir_.file("Docs")}, {}, {});
  EXPECT_EQ(names(r), (std::vector<std::string>{"2024/summary.docx", "Alpha.md", "build.txt",
                                                 "report 9.PDF", "report 10.pdf"}));
  EXPECT_TRUE(r.skipped.empty());
}

TEST_F(BaseFiles, FlatFoldersAndExclusions) {
  make("Docs/top.txt");
  make("Docs/sub/deep.txt");
  std::string excluded = make("Docs/secret.txt");
  auto r = BaseManager::resolve({dir_.file("Docs")}, {dir_.file("Docs")}, {excluded});
  EXPECT_EQ(names(r), std::vector<std::string>{"top.txt"});
  EXPECT_EQ(r.excluded, std::vector<std::string>{excluded});
  EXPECT_TRUE(r.skipped.empty());
}

TEST_F(BaseFiles, AFileListedTwiceAppearsOnceUnderItsFirstName) {
  std::string file = make("Docs/a.txt");
  auto r = BaseManager::resolve({file, dir_.file("Docs")}, {}, {});
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].name, "a.txt");
  EXPECT_EQ(r.files[0].url, file);
}

TEST_F(BaseFiles, GoogleDocumentsAreSkippedWithTheirKindButNotWhenListedDirectly) {
  std::string gdoc = make("Docs/sub/Plan.gdoc");
  auto r = BaseManager::resolve({dir_.file("Docs"), gdoc}, {}, {});
  EXPECT_TRUE(r.files.empty());
  ASSERT_EQ(r.skipped.size(), 1u);
  EXPECT_EQ(r.skipped[0].filename, "sub/Plan.gdoc");
  EXPECT_EQ(r.skipped[0].reason,
            "a Google Doc: it lives in Google's cloud, not as a file on this Mac (in Google, "
            "choose File \xE2\x86\x92 Download to include it)");
  EXPECT_EQ(r.skipped[0].path, gdoc);
}

TEST_F(BaseFiles, CollidingNamesTakeTheFolderThenTheHomePath) {
  make("A/notes.md");
  make("B/notes.md");
  make("one/Docs/x.pdf");
  make("two/Docs/x.pdf");
  make("A/a/x.pdf");
  make("A/b/x.pdf");
  auto r = BaseManager::resolve({dir_.file("A"), dir_.file("B")}, {}, {});
  EXPECT_EQ(names(r), (std::vector<std::string>{"a/x.pdf", "b/x.pdf", "A/notes.md", "B/notes.md"}));
  auto docs = BaseManager::resolve({dir_.file("one/Docs"), dir_.file("two/Docs")}, {}, {});
  EXPECT_EQ(names(docs), (std::vector<std::string>{"~/one/Docs/x.pdf", "~/two/Docs/x.pdf"}));
}

TEST_F(BaseFiles, UnopenableFolderIsReported) {
  make("Docs/ok.txt");
  make("Docs/locked/in.txt");
  // Permissions don't stop root, so the listing runs in a child that gives up root first.
  chmod(dir_.path().c_str(), 0755);
  chmod(dir_.file("Docs").c_str(), 0755);
  chmod(dir_.file("Docs/ok.txt").c_str(), 0644);
  chmod(dir_.file("Docs/locked").c_str(), 0);
  pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    auto r = BaseManager::resolve({dir_.file("Docs")}, {}, {});
    bool ok = r.files.size() == 1 && r.files[0].name == "ok.txt" && r.skipped.size() == 1 &&
              r.skipped[0].filename == "locked/" &&
              r.skipped[0].reason == "folder could not be opened (permissions?)";
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  chmod(dir_.file("Docs/locked").c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

const char* kTwoBases = R"([
 {"id":"5b0c2d6e-1f3a-4c55-9e2b-7a1d8c3f4e60","name":"Taxes 2024","paths":["/x"],
  "createdAt":"2026-10-11T22:16:00Z","unknown":1},
 {"id":"6B0C2D6E-1F3A-4C55-9E2B-7A1D8C3F4E61","name":"\u00c9t\u00e9","paths":[],
  "createdAt":"2026-10-11T22:16:00Z","description":"d","flatFolders":["/x"],"exclusions":[],
  "keepCurrent":true}])";

TEST(BaseManager, ReloadsAndFindsBasesByLowerCasedName) {
  TempDir dir;
  ASSERT_TRUE(platform::writeFileAtomically(dir.file("bases.json"), kTwoBases));
  BaseManager manager(dir.path());
  ASSERT_EQ(manager.bases().size(), 2u);
  EXPECT_EQ(manager.bases()[0].id, "5B0C2D6E-1F3A-4C55-9E2B-7A1D8C3F4E60");
  EXPECT_TRUE(manager.base("taxes 2024").has_value());
  EXPECT_FALSE(manager.base("taxes 2024 ").has_value());
  EXPECT_FALSE(manager.base("Taxes").has_value());
  EXPECT_TRUE(manager.base("\xC3\xA9T\xC3\x89").has_value());

  // A record without createdAt makes the whole file unreadable: the previous list stays.
  ASSERT_TRUE(platform::writeFileAtomically(dir.file("bases.json"),
                                            R"([{"id":"5B0C2D6E-1F3A-4C55-9E2B-7A1D8C3F4E60","name":"n","paths":[]}])"));
  manager.reload();
  EXPECT_EQ(manager.bases().size(), 2u);
  unlink(dir.file("bases.json").c_str());
  manager.reload();
  EXPECT_EQ(manager.bases().size(), 2u);
}

TEST(BaseManager, TypeMismatchesMakeTheFileUnreadable) {
  const char* bad[] = {
      R"({"id":"x"})",
      R"([{"id":"not-a-uuid","name":"n","paths":[],"createdAt":"2026-10-11T22:16:00Z"}])",
      R"([{"id":"5B0C2D6E-1F3A-4C55-9E2B-7A1D8C3F4E60","name":"n","paths":[1],"createdAt":"2026-10-11T22:16:00Z"}])",
      R"([{"id":"5B0C2D6E-1F3A-4C55-9E2B-7A1D8C3F4E60","name":"n","paths":[],"createdAt":"yesterday"}])",
      R"([{"id":"5B0C2D6E-1F3A-4C55-9E2B-7A1D8C3F4E60","name":"n","paths":[],"createdAt":"2026-10-11T22:16:00Z","keepCurrent":"yes"}])",
  };
  for (const char* text : bad) EXPECT_FALSE(Base::decodeFile(text).has_value()) << text;
}

TEST(BaseManager, SaveWritesPrettyFieldOrderAndReadsBack) {
  TempDir dir;
  ASSERT_TRUE(platform::writeFileAtomically(dir.file("bases.json"), kTwoBases));
  BaseManager manager(dir.path());
  ASSERT_TRUE(manager.save(manager.bases()));
  std::string text = *platform::readFile(dir.file("bases.json"));
  EXPECT_LT(text.find("\"id\""), text.find("\"name\""));
  EXPECT_LT(text.find("\"paths\""), text.find("\"createdAt\""));
  EXPECT_LT(text.find("\"createdAt\" : \"2026-10-11T22:16:00Z\""), text.find("\"description\""));
  EXPECT_EQ(text.find("unknown"), std::string::npos);
  EXPECT_EQ(text.find("\"description\""), text.rfind("\"description\""));  // only the second base
  auto back = Base::decodeFile(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(Base::encodeFile(*back), text);
}

}  // namespace
}  // namespace zelk
