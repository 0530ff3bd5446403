// Number formats and the text of a number cell.
#include <gtest/gtest.h>

#include "documents/cell_format.h"

namespace zelk {
namespace {

using Kind = CellFormat::Kind;

TEST(CellFormat, KindOfFormatIds) {
  std::map<int, std::string> custom = {{164, "yyyy-mm-dd;@"}, {14, "0.00"}, {165, "0.0"}};
  struct Case {
    int id;
    Kind kind;
  } cases[] = {{0, Kind::plain},     {9, Kind::percent},  {10, Kind::percent}, {14, Kind::date},
               {17, Kind::date},     {22, Kind::dateTime}, {18, Kind::time},   {21, Kind::time},
               {45, Kind::time},     {47, Kind::time},     {46, Kind::plain},  {164, Kind::date},
               {165, Kind::plain},   {200, Kind::plain}};
  for (const Case& c : cases) EXPECT_EQ(CellFormat::kind(c.id, custom), c.kind) << c.id;
}

TEST(CellFormat, KindOfCustomCodes) {
  struct Case {
    const char* code;
    Kind kind;
  } cases[] = {
      {"yyyy-mm-dd;@", Kind::date},
      {"[h]:mm:ss", Kind::time},
      {"0.00%", Kind::percent},
      {"#,##0", Kind::plain},
      {"[Red]0.00", Kind::plain},
      {"dd/mm/yyyy hh:mm", Kind::dateTime},
      {"mm:ss", Kind::time},
      {"yyyy-mm-dd ss", Kind::dateTime},
      {"mmmm\" \"yyyy", Kind::date},
      {"[$-411]ggge\"\u5E74\"m\"\u6708\"d\"\u65E5\";@", Kind::date},
      {"\"days\" 0", Kind::plain},          // quoted letters don't count
      {"0\\d", Kind::plain},                // nor escaped ones
      {"_(* #,##0_);_(* (#,##0)", Kind::plain},
      {"0.0 \"%\"", Kind::plain},
      {"0;[Red]dd", Kind::plain},           // only the first section
      {"MMM", Kind::plain},                 // month names alone carry no d or y
      {"General", Kind::plain},
      {"\"unterminated d", Kind::date},
      {"", Kind::plain},
  };
  for (const Case& c : cases) EXPECT_EQ(CellFormat::kindOfCode(c.code), c.kind) << c.code;
}

TEST(CellFormat, DateText) {
  struct Case {
    Kind kind;
    bool date1904;
    double x;
    std::optional<std::string> text;
  } cases[] = {
      {Kind::date, true, 0, "1904-01-01"},
      {Kind::date, false, 1, "1900-01-01"},
      {Kind::date, false, 59, "1900-02-28"},
      {Kind::date, false, 60, std::nullopt},
      {Kind::time, false, 60, "00:00"},
      {Kind::date, true, 60, "1904-03-01"},
      {Kind::date, false, 61, "1900-03-01"},
      {Kind::date, false, 0, "1899-12-31"},
      {Kind::dateTime, false, 45000.5, "2023-03-15 12:00"},
      {Kind::dateTime, false, 45000.000011574, "2023-03-15 00:00:01"},
      {Kind::time, false, 10.6320601851852, "15:10:10"},
      {Kind::date, false, 2958465, "9999-12-31"},
      {Kind::date, false, 2958466, std::nullopt},
      {Kind::date, false, -1, std::nullopt},
      {Kind::date, false, 44197, "2021-01-01"},
      {Kind::date, true, 42735, "2021-01-01"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CellFormat::dateText(c.kind, c.date1904, c.x), c.text) << c.x;
  }
}

TEST(CellFormat, Number) {
  struct Case {
    double x;
    const char* text;
  } cases[] = {
      {0.30000000000000004, "0.3"}, {12.5, "12.5"},          {100, "100"},
      {1.5e-5, "0.000015"},         {1.23456789012345e-7, "0.000000123456789012345"},
      {1e-10, "1e-10"},             {1e15, "1e+15"},         {123456789012345.0, "123456789012345"},
      {-2.50, "-2.5"},              {7.000000000000001, "7"}, {0, "0"},
  };
  for (const Case& c : cases) EXPECT_EQ(CellFormat::number(c.x), c.text) << c.x;
}

TEST(CellFormat, TextOfANumberCell) {
  CellFormat format{{Kind::plain, Kind::percent, Kind::date, Kind::time}, false};
  struct Case {
    const char* value;
    long long style;
    const char* text;
  } cases[] = {
      {"0.125", 1, "12.5%"},
      {"0.07", 1, "7%"},
      {"0.30000000000000004", 0, "0.3"},
      {"1234567890123456789", 0, "1234567890123456789"},
      {"1.23456789012345678E+3", 0, "1234.56789012346"},
      {"0042", 0, "0042"},
      {"60", 2, "60"},
      {"61", 2, "1900-03-01"},
      {"-5", 2, "-5"},                // outside the calendar: the plain number
      {"0.75", 3, "18:00"},
      {"abc", 1, "abc"},
      {"inf", 1, "inf"},
      {" 1", 1, " 1"},
      {"-", 1, ""},
      {"\u2014", 0, ""},
      {"2", 9, "2"},                  // a style beyond the list is plain
      {"2", -1, "2"},
  };
  for (const Case& c : cases) EXPECT_EQ(format.text(c.value, c.style), c.text) << c.value;
}

}  // namespace
}  // namespace zelk
