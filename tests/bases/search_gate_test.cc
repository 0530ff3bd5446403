#include "bases/search_gate.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "platform/iso_date.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::IsolatedHome;

std::string ownMarker() { return SearchGate::markerDirectory() + "/" + std::to_string(getpid()); }

std::string stamped(const char* word, double secondsAgo) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), platform::now() - secondsAgo);
  return std::string(word) + " " + std::string(buf, end);
}

TEST(SearchGate, HoldsNestAndTheLastEndWritesEnded) {
  IsolatedHome home;
  SearchGate::began();
  SearchGate::began();
  SearchGate::ended();
  EXPECT_EQ(platform::readFile(ownMarker())->rfind("running ", 0), 0u);
  SearchGate::ended();
  std::string text = *platform::readFile(ownMarker());
  EXPECT_EQ(text.rfind("ended ", 0), 0u);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  double t = std::stod(text.substr(6));
  EXPECT_NEAR(t, platform::now(), 5);
  SearchGate::ended();  // never below zero
  EXPECT_EQ(SearchGate::holds(), 0);
}

TEST(SearchGate, BusyByWordAndAge) {
  IsolatedHome home;
  struct Case {
    const char* word;
    double age;
    bool busy;
  };
  const Case cases[] = {{"running", 599, true}, {"running", 601, false}, {"ended", 10, true},
                        {"ended", 16, false},   {"other", 5, true},      {"running", 0, true}};
  for (const auto& c : cases) {
    SearchGate::write(stamped(c.word, c.age));
    EXPECT_EQ(SearchGate::busy(), c.busy) << c.word << " " << c.age;
  }
  for (const char* junk : {"running", "running 1 2", "running x", ""}) {
    SearchGate::write(junk);
    EXPECT_FALSE(SearchGate::busy()) << junk;
    EXPECT_TRUE(platform::readFile(ownMarker()).has_value());  // a living process's file stays
  }
}

TEST(SearchGate, DeletesBadlyNamedAndDeadProcessMarkers) {
  IsolatedHome home;
  SearchGate::write(stamped("running", 0));
  std::string dir = SearchGate::markerDirectory();
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(platform::writeFileAtomically(dir + "/abc", stamped("running", 0)));
  ASSERT_TRUE(platform::writeFileAtomically(dir + "/" + std::to_string(child), stamped("running", 0)));
  SearchGate::write(stamped("ended", 100));
  EXPECT_FALSE(SearchGate::busy());
  struct stat st{};
  EXPECT_NE(stat((dir + "/abc").c_str(), &st), 0);
  EXPECT_NE(stat((dir + "/" + std::to_string(child)).c_str(), &st), 0);
  EXPECT_EQ(stat(ownMarker().c_str(), &st), 0);
}

TEST(SearchGate, NoDirectoryIsNotBusy) {
  IsolatedHome home;
  EXPECT_FALSE(SearchGate::busy());
}

}  // namespace
}  // namespace zelk
