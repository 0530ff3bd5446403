#include "protocol/paging.h"

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "platform/unicode.h"

namespace zelk {
namespace {

std::string paragraphs(size_t count, size_t length) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i) out += "\n\n";
    out += std::string(length, static_cast<char>('a' + i % 26));
  }
  return out;
}

std::pair<std::string, JSONValue> split(const std::string& answer) {
  size_t at = answer.find(Paging::blockBreak);
  EXPECT_NE(at, std::string::npos);
  return {answer.substr(0, at), JSONValue::parse(answer.substr(at + Paging::blockBreak.size()))};
}

TEST(Paging, BlockBreakIsTwelveCharacters) {
  EXPECT_EQ(Paging::blockBreak.size(), 12u);
  EXPECT_EQ(Paging::blockBreak, "\x1ezelk-block\x1e");
}

TEST(Paging, TextWithoutAnyBreakIsCutIntoFullPages) {
  auto pages = Paging::paginate({std::string(200000, 'x')}, "\n\n");
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[0].size(), Paging::kMaxPage);
  EXPECT_EQ(pages[2].size(), 200000 - 2 * Paging::kMaxPage);
}

TEST(Paging, ParagraphBreaksEveryThousandCharactersGiveThreePages) {
  std::string text = paragraphs(200, 998);
  auto pages = Paging::paginate({text}, "\n\n");
  ASSERT_EQ(pages.size(), 3u);
  auto [first, details] = split(Paging::reply({text}, "\n\n", 0, {}));
  EXPECT_EQ(first, pages[0]);
  EXPECT_EQ(*details.find("page")->number(), 1);
  EXPECT_EQ(*details.find("pages")->number(), 3);
  EXPECT_EQ(*details.find("next_cursor")->string(), "2");
  EXPECT_EQ(*details.find("paging")->string(),
            "page 1 of 3. Call again with the same arguments and cursor \"2\" for the next page.");
}

TEST(Paging, CursorBeyondTheLastPageShowsItWithoutNextCursor) {
  std::string text = paragraphs(200, 998);
  auto pages = Paging::paginate({text}, "\n\n");
  auto [shown, details] = split(Paging::reply({text}, "\n\n", 9, {{"kept", "yes"}}));
  EXPECT_EQ(shown, pages[2]);
  EXPECT_EQ(*details.find("page")->number(), 3);
  EXPECT_EQ(details.find("next_cursor"), nullptr);
  EXPECT_EQ(details.find("paging"), nullptr);
  EXPECT_EQ(*details.find("kept")->string(), "yes");
}

TEST(Paging, PagesStayWithinTheLimitAndLoseNothing) {
  std::vector<std::string> sections = {paragraphs(100, 1500), "short", paragraphs(3, 30000)};
  auto pages = Paging::paginate(sections, "\n\n---\n\n");
  std::string rejoined;
  for (const auto& page : pages) {
    EXPECT_LE(page.size(), Paging::kMaxPage);
    rejoined += page;
  }
  size_t letters = 0;
  for (const auto& s : sections) letters += std::count_if(s.begin(), s.end(), ::isalpha);
  EXPECT_EQ(static_cast<size_t>(std::count_if(rejoined.begin(), rejoined.end(), ::isalpha)),
            letters);  // separators carry no letters
}

TEST(Paging, ALongParagraphIsCutAtLineFeedsAndAnEndlessLineAtCharacters) {
  std::string rows;
  for (int i = 0; i < 3000; ++i) rows += (i ? "\n" : "") + std::string(59, 'r');  // 180,000 chars
  std::string accents;
  for (int i = 0; i < 100000; ++i) accents += "e\xcc\x81";  // e + combining acute: one character
  std::string text = "\n\n\n\n" + rows + "\n\n" + accents + "\n\nend";
  auto pages = Paging::paginate({text}, "|");
  ASSERT_EQ(pages.size(), 5u);
  std::string rejoined;
  for (size_t i = 0; i < pages.size(); ++i) {
    EXPECT_LE(platform::graphemeCount(pages[i]), Paging::kMaxPage) << i;
    rejoined += pages[i];
  }
  EXPECT_EQ(pages[0].substr(0, 59), std::string(59, 'r'));  // leading empty paragraphs go
  EXPECT_EQ(pages[0].back(), 'r');                           // cut at a line feed
  EXPECT_EQ(pages[2].back(), 'r');
  EXPECT_EQ(platform::graphemeCount(pages[3]), Paging::kMaxPage);
  EXPECT_EQ(pages[3].substr(0, 3), "e\xcc\x81");  // never inside a character
  EXPECT_EQ(pages[4], accents.substr(0, 3 * (100000 - Paging::kMaxPage)) + "|end");
  EXPECT_EQ(std::count(rejoined.begin(), rejoined.end(), 'r'), 3000 * 59);
  EXPECT_EQ(pages[4].substr(pages[4].size() - 3), "end");
}

TEST(Paging, NoSectionsGiveNoPagesAndAnEmptyFirstBlock) {
  EXPECT_TRUE(Paging::paginate({}, "\n").empty());
  auto [text, details] = split(Paging::reply({}, "\n", 1, {}));
  EXPECT_EQ(text, "");
  EXPECT_EQ(details.encode(), "{}");
}

TEST(Paging, UnwritableDetailsBecomeAnEmptyObject) {
  std::string answer = Paging::reply({"x"}, "\n", 1, {{"bad", std::nan("")}});
  EXPECT_EQ(answer, "x" + Paging::blockBreak + "{}");
}

}  // namespace
}  // namespace zelk
