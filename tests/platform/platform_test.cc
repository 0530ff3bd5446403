#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <vector>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "platform/base64.h"
#include "platform/iso_date.h"
#include "platform/notifier.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/regex_cache.h"
#include "platform/serial_queue.h"
#include "platform/sha256.h"
#include "platform/unicode.h"
#include "platform/uuid.h"
#include "test_support.h"

namespace zelk::platform {
namespace {

using zelk::testing::ScopedEnv;
using zelk::testing::TempDir;

TEST(Paths, SupportDirFollowsXdgDataHomeOrHome) {
  TempDir dir;
  {
    ScopedEnv xdg("XDG_DATA_HOME", dir.path() + "/xdg");
    EXPECT_EQ(supportDir(), dir.path() + "/xdg/zelk");
  }
  ScopedEnv home("HOME", dir.path());
  ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(supportDir(), dir.path() + "/.local/share/zelk");
  EXPECT_EQ(modelsDir(), dir.path() + "/.local/share/zelk/models");
  EXPECT_EQ(prefsPath(), dir.path() + "/.local/share/zelk/prefs.json");
}

TEST(Paths, OverridesForBasesAndPrefs) {
  ScopedEnv bases("ZELK_BASES_DIR", "/tmp/b");
  ScopedEnv prefs("ZELK_PREFS_PATH", "/tmp/p/prefs.json");
  EXPECT_EQ(basesDir(), "/tmp/b");
  EXPECT_EQ(indexesDir(), "/tmp/b/indexes");
  EXPECT_EQ(prefsPath(), "/tmp/p/prefs.json");
}

TEST(Paths, Components) {
  EXPECT_EQ(lastPathComponent("/a/b/c.pdf"), "c.pdf");
  EXPECT_EQ(lastPathComponent("/a/b/"), "b");
  EXPECT_EQ(parentPath("/a/b/c.pdf"), "/a/b");
  EXPECT_EQ(parentPath("/a"), "/");
  EXPECT_EQ(joinPath("/a/", "b"), "/a/b");
}

TEST(AtomicFile, ReplacesWholeAndLeavesNoTemporary) {
  TempDir dir;
  std::string path = dir.file("f.json");
  ASSERT_TRUE(writeFileAtomically(path, "first"));
  ASSERT_TRUE(writeFileAtomically(path, "second"));
  EXPECT_EQ(readFile(path), "second");
  size_t entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) (void)e, ++entries;
  EXPECT_EQ(entries, 1u);
}

TEST(AtomicFile, FailsCleanlyInAMissingFolder) {
  TempDir dir;
  EXPECT_FALSE(writeFileAtomically(dir.file("missing/f"), "x"));
  EXPECT_FALSE(readFile(dir.file("missing/f")).has_value());
}

TEST(AtomicFile, ReadRefusesFilesOverTheLimitAndFolders) {
  TempDir dir;
  ASSERT_TRUE(writeFileAtomically(dir.file("big"), std::string(100, 'x')));
  EXPECT_FALSE(readFile(dir.file("big"), 99).has_value());
  EXPECT_EQ(readFile(dir.file("big"), 100)->size(), 100u);
  EXPECT_FALSE(readFile(dir.path()).has_value());
}

TEST(AtomicFile, CreatesNestedDirectories) {
  TempDir dir;
  EXPECT_TRUE(createDirectories(dir.file("a/b/c")));
  struct stat st{};
  EXPECT_EQ(stat(dir.file("a/b/c").c_str(), &st), 0);
  ASSERT_TRUE(writeFileAtomically(dir.file("plain"), "x"));
  EXPECT_FALSE(createDirectories(dir.file("plain/sub")));
}

TEST(UUID, IsUpperCaseVersion4) {
  std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::string a = randomUUID(), b = randomUUID();
  EXPECT_TRUE(std::regex_match(a, shape)) << a;
  EXPECT_NE(a, b);
}

TEST(SHA256, KnownDigests) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Base64, Vectors) {
  EXPECT_EQ(base64Encode(""), "");
  EXPECT_EQ(base64Encode("f"), "Zg==");
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
}

TEST(ISODate, WholeSecondsInUTC) {
  EXPECT_EQ(iso8601(1760220960.9), "2025-10-11T22:16:00Z");
  EXPECT_EQ(iso8601(0), "1970-01-01T00:00:00Z");
}

TEST(ISODate, ParsesAndRejects) {
  EXPECT_EQ(*parseISO8601("2025-10-11T22:16:00Z"), 1760220960.0);
  EXPECT_EQ(*parseISO8601("2025-10-11T23:16:00+01:00"), 1760220960.0);
  EXPECT_EQ(*parseISO8601("2025-10-11T22:16:00.5Z"), 1760220960.5);
  for (const char* bad : {"", "2025-10-11", "2025-13-11T22:16:00Z", "2025-10-11T22:16:00",
                          "2025-10-11T22:16:00Zjunk"}) {
    EXPECT_FALSE(parseISO8601(bad).has_value()) << bad;
  }
}

TEST(Unicode, CountsUserPerceivedCharactersAndUtf16Units) {
  struct Case {
    const char* text;
    size_t graphemes;
    size_t utf16;
  };
  const Case cases[] = {
      {"", 0, 0},
      {"abc", 3, 3},
      {"a\r\nb", 3, 4},
      {"e\xCC\x81", 1, 2},                          // e + combining acute
      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 1, 4},   // thumbs up with skin tone
      {"\xF0\x9F\x87\xA8\xF0\x9F\x87\xA6", 1, 4},   // flag: two regional indicators
      {"caf\xC3\xA9", 4, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(graphemeCount(c.text), c.graphemes) << c.text;
    EXPECT_EQ(utf16Length(c.text), c.utf16) << c.text;
  }
}

TEST(Unicode, InvalidBytesBecomeReplacementCharacters) {
  struct Case {
    std::string in, out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"plain", "plain"},
      {"a\xFF" "b", "a" + fffd + "b"},
      {"\xC3", fffd},                    // truncated two-byte sequence
      {"\xE2\x82", fffd},                // truncated three-byte sequence: one maximal subpart
      {"\xED\xA0\x80", fffd + fffd + fffd},  // encoded surrogate
      {"\xC0\xAF", fffd + fffd},         // overlong
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sanitizeUtf8(c.in), c.out);
    EXPECT_TRUE(isValidUtf8(sanitizeUtf8(c.in)));
  }
}

TEST(Unicode, CanonicalEquivalenceAndLowerCasing) {
  EXPECT_TRUE(canonicallyEqual("caf\xC3\xA9", "cafe\xCC\x81"));
  EXPECT_FALSE(canonicallyEqual("cafe", "caf\xC3\xA9"));
  EXPECT_EQ(lowercased("\xC3\x89T\xC3\x89 \xCE\xA3"), "\xC3\xA9t\xC3\xA9 \xCF\x83");
}

TEST(RegexCache, CompilesOnceAndRejectsBadPatterns) {
  auto& cache = RegexCache::shared();
  auto a = cache.pattern("\\b\\d{3}-\\d{2}-\\d{4}\\b");
  auto b = cache.pattern("\\b\\d{3}-\\d{2}-\\d{4}\\b");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(cache.pattern("(unclosed"), nullptr);
  icu::UnicodeString text = toUnicode("id 123-45-6789 end");
  auto m = cache.matcher("\\d{3}-\\d{2}-\\d{4}", text);
  ASSERT_NE(m, nullptr);
  UErrorCode status = U_ZERO_ERROR;
  ASSERT_TRUE(m->find(status));
  EXPECT_EQ(m->start(status), 3);
}

TEST(RegexCache, CatastrophicPatternStopsAtTheTimeLimit) {
  icu::UnicodeString text = toUnicode(std::string(40, 'a') + "!");
  auto m = RegexCache::shared().matcher("(a+)+$", text, 0, 50);
  ASSERT_NE(m, nullptr);
  UErrorCode status = U_ZERO_ERROR;
  EXPECT_FALSE(m->find(status));
  EXPECT_EQ(status, U_REGEX_TIME_OUT);
}

TEST(SerialQueue, RunsJobsInOrderAndSyncWaits) {
  std::vector<int> order;
  {
    SerialQueue queue("test.queue");
    for (int i = 0; i < 100; ++i) queue.async([&order, i] { order.push_back(i); });
    int seen = -1;
    queue.sync([&] { seen = static_cast<int>(order.size()); });
    EXPECT_EQ(seen, 100);
    queue.sync([&] { queue.sync([&] { order.push_back(100); }); });  // re-entrant sync runs inline
  }
  ASSERT_EQ(order.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

TEST(Process, ReadsParentAndExecutable) {
  EXPECT_EQ(parentProcess(getpid()), getppid());
  auto exe = selfExecutable();
  ASSERT_TRUE(exe.has_value());
  EXPECT_NE(exe->find("platform_test"), std::string::npos);
  EXPECT_TRUE(processExists(getpid()));
  EXPECT_FALSE(processExists(0));
  EXPECT_FALSE(parentProcess(-5).has_value());
  EXPECT_GT(physicalMemory(), 1ull << 20);
}

TEST(Notifier, InProcessObserversAndSilentSystemPost) {
  TempDir dir;
  ScopedEnv xdg("XDG_DATA_HOME", dir.path());
  int calls = 0;
  int token = Notifier::observe("zelk.test", [&](const std::string&) { ++calls; });
  Notifier::post("zelk.test");
  Notifier::post("zelk.other");
  Notifier::removeObserver(token);
  Notifier::post("zelk.test");
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(Notifier::postSystemWide("app.zelk.desktop.calls-changed"));  // nobody listens
}

TEST(Notifier, SystemPostReachesABoundListener) {
  TempDir dir;
  ScopedEnv xdg("XDG_DATA_HOME", dir.path());
  ASSERT_TRUE(createDirectories(supportDir()));
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = Notifier::systemSocketPath();
  std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  EXPECT_TRUE(Notifier::postSystemWide("app.zelk.desktop.ledger-changed"));
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
  close(fd);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "app.zelk.desktop.ledger-changed");
}

}  // namespace
}  // namespace zelk::platform
