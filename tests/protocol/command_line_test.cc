#include "protocol/command_line.h"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "session_driver.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::IsolatedHome;
using testing::runProgram;

TEST(CommandLine, ParsePort) {
  EXPECT_EQ(CommandLine::parsePort("8080"), 8080);
  EXPECT_EQ(CommandLine::parsePort("+443"), 443);
  EXPECT_EQ(CommandLine::parsePort("65535"), 65535);
  for (const char* bad : {"", "+", "99999", "65536", "-1", "80a", " 80", "8 0"}) {
    EXPECT_FALSE(CommandLine::parsePort(bad).has_value()) << bad;
  }
}

// Every argument list that names no mode this build has runs the stdio session.
TEST(CommandLine, UnrecognisedArgumentsRunTheStdioSession) {
  IsolatedHome home;
  const std::vector<std::vector<std::string>> argumentLists = {
      {},
      {"--eval", "queries.json", "docs"},
      {"--http", "99999", "--token-file", "/nonexistent"},
      {"--http", "8080", "--token", "/nonexistent"},
      {"--whatever"},
  };
  for (const auto& extra : argumentLists) {
    std::vector<std::string> argv = {ZELK_BINARY};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto result = runProgram(argv, R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, R"({"jsonrpc":"2.0","id":1,"result":{}})" "\n");
  }
}

TEST(CommandLine, RedactTestPrintsTheRedactedFileWithoutLineFeed) {
  IsolatedHome home;
  std::string file = home.dir().file("ssn.txt");
  {
    std::ofstream out(file);
    out << "My SSN is 123-45-6789.";
  }
  auto result = runProgram({ZELK_BINARY, "--redact-test", file}, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "My SSN is [SSN 1].");
  // An unreadable file falls through to the stdio session.
  auto fallback = runProgram({ZELK_BINARY, "--redact-test", home.dir().file("missing.txt")},
                             R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n");
  EXPECT_EQ(fallback.status, 0);
  EXPECT_EQ(fallback.out, R"({"jsonrpc":"2.0","id":1,"result":{}})" "\n");
}

TEST(CommandLine, InstallModelRefusesAFolderWithoutTheModelFiles) {
  IsolatedHome home;
  auto result = runProgram({ZELK_BINARY, "--install-model", home.dir().path()}, "");
  EXPECT_EQ(result.status, 1);
  struct stat st{};
  EXPECT_NE(stat((home.supportDir() + "/models/model.safetensors").c_str(), &st), 0);
}

TEST(CommandLine, EndOfInputEndsWithStatusZeroAndNothingElseOnStdout) {
  IsolatedHome home;
  auto result = runProgram({ZELK_BINARY}, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
}

}  // namespace
}  // namespace zelk
