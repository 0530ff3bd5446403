#include "ledger/zelk_shared.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

class ZelkSharedTest : public ::testing::Test {
 protected:
  void write(const std::string& json) {
    ASSERT_TRUE(platform::writeFileAtomically(dir_.file("prefs.json"), json));
  }
  TempDir dir_;
  ScopedEnv prefs_{"ZELK_PREFS_PATH", dir_.file("prefs.json")};
};

TEST_F(ZelkSharedTest, DefaultsWithoutAFile) {
  EXPECT_EQ(ZelkShared::prefsURL(), dir_.file("prefs.json"));
  EXPECT_EQ(ZelkShared::placeholderStyle(), "labeled");
  EXPECT_TRUE(ZelkShared::sensitiveRules().empty());
  EXPECT_TRUE(ZelkShared::reviewBeforeCopying());
  EXPECT_FALSE(ZelkShared::highAccuracyFloor());
  EXPECT_TRUE(ZelkShared::aiOrganizeBases());
  EXPECT_TRUE(ZelkShared::extensionDevIDs().empty());
}

TEST_F(ZelkSharedTest, ValuesOfTheWrongTypeGiveTheDefault) {
  write(R"({"reviewBeforeCopying":"no","sensitiveRules":{"ssn":"off","card":1},)"
        R"("extensionDevIDs":["a",2],"placeholderStyle":3,"highAccuracyFloor":1})");
  EXPECT_TRUE(ZelkShared::reviewBeforeCopying());
  EXPECT_TRUE(ZelkShared::sensitiveRules().empty());
  EXPECT_TRUE(ZelkShared::extensionDevIDs().empty());
  EXPECT_EQ(ZelkShared::placeholderStyle(), "labeled");
  EXPECT_FALSE(ZelkShared::highAccuracyFloor());
}

TEST_F(ZelkSharedTest, ReadsFreshOnEveryCall) {
  write(R"({"reviewBeforeCopying":false,"sensitiveRules":{"ssn":"off"},"extensionDevIDs":["x"],)"
        R"("placeholderStyle":"generic","unknown":[1]})");
  EXPECT_FALSE(ZelkShared::reviewBeforeCopying());
  EXPECT_EQ(ZelkShared::sensitiveRules(), (std::map<std::string, std::string>{{"ssn", "off"}}));
  EXPECT_EQ(ZelkShared::extensionDevIDs(), std::vector<std::string>{"x"});
  EXPECT_EQ(ZelkShared::placeholderStyle(), "generic");
  write(R"({"reviewBeforeCopying":true})");
  EXPECT_TRUE(ZelkShared::reviewBeforeCopying());
}

TEST_F(ZelkSharedTest, MalformedOrNonObjectFilesGiveDefaults) {
  for (const char* text : {"", "{", "[]", "\"x\"", "{\"aiOrganizeBases\":false"}) {
    write(text);
    EXPECT_TRUE(ZelkShared::aiOrganizeBases()) << text;
  }
}

TEST(ZelkShared, AppBundleAroundTheExecutable) {
  TempDir dir;
  std::string inside = dir.file("Applications/zelk.app/Contents/MacOS");
  ASSERT_TRUE(platform::createDirectories(inside));
  ASSERT_TRUE(platform::writeFileAtomically(inside + "/zelk-mcp", "x"));
  EXPECT_EQ(ZelkShared::appBundleURL(inside + "/zelk-mcp"), dir.file("Applications/zelk.app"));
  EXPECT_FALSE(ZelkShared::appBundleURL("/usr/local/bin/zelk-mcp").has_value());
  EXPECT_EQ(ZelkShared::openRequestName(), "app.zelk.desktop.open-window");
}

}  // namespace
}  // namespace zelk
