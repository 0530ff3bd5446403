// Generated tables (money in both decimal conventions, dates in several forms, yes/no, blanks
// and junk, totals rows, a second table) and generated questions, answered by the table code and
// by a plain reference computation over the generated values in integer cents and calendar days:
// every count, sum, average, median, minimum, maximum, skip count and coverage line must agree.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "table_question_support.h"

namespace zelk {
namespace {

using namespace std::chrono;
using testing::Table;

enum class State { ok, blank, junk };

struct Truth {
  State date = State::ok, amount = State::ok, paid = State::ok;
  int64_t day = 0;  // days since 1970-01-01
  int64_t cents = 0;
  bool yes = false;
  std::string region;  // as written; blank when empty after trimming
  int64_t qty = 0;
};

int64_t dayOf(int y, unsigned m, unsigned d) {
  return sys_days{year{y} / month{m} / day{d}}.time_since_epoch().count();
}

year_month_day ymdOf(int64_t d) { return year_month_day{sys_days{days{d}}}; }

std::string dateText(int64_t d) {
  auto ymd = ymdOf(d);
  char b[32];
  std::snprintf(b, sizeof b, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
  return b;
}

// A value in units of 10^-scale as plain decimal text without trailing fraction zeros.
std::string scaled(__int128 v, int scale) {
  bool negative = v < 0;
  unsigned __int128 u =
      negative ? static_cast<unsigned __int128>(-v) : static_cast<unsigned __int128>(v);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
    u /= 10;
  } while (u > 0);
  while (static_cast<int>(digits.size()) <= scale) digits.insert(digits.begin(), '0');
  std::string whole = digits.substr(0, digits.size() - static_cast<size_t>(scale));
  std::string fraction = digits.substr(digits.size() - static_cast<size_t>(scale));
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  std::string out = whole + (fraction.empty() ? "" : "." + fraction);
  if (negative && out != "0") out = "-" + out;
  return out;
}

// Rounded half away from zero: num / den.
__int128 roundedDivision(__int128 num, __int128 den) {
  bool negative = num < 0;
  __int128 a = negative ? -num : num;
  __int128 q = a / den, r = a % den;
  if (2 * r >= den) ++q;
  return negative ? -q : q;
}

std::string grouped(int64_t whole, char mark) {
  std::string digits = std::to_string(whole), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += mark;
    out += digits[i];
  }
  return out;
}

class Generator {
 public:
  Generator(uint64_t seed, bool comma) : rng_(seed), comma_(comma) {}

  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }
  bool chance(int percent) { return pick(100) < percent; }

  std::string money(int64_t cents) {
    bool negative = cents < 0;
    int64_t a = negative ? -cents : cents;
    char dec = comma_ ? ',' : '.', group = comma_ ? '.' : ',';
    std::string frac = std::to_string(a % 100);
    if (frac.size() < 2) frac = "0" + frac;
    int64_t whole = a / 100;
    std::string body;
    switch (pick(4)) {
      case 0:
        body = grouped(whole, group) + dec + frac;
        break;
      case 1:
        body = std::to_string(whole) + dec + frac;
        break;
      case 2:
        body = (a % 100 == 0 && chance(50)) ? std::to_string(whole)
                                            : std::to_string(whole) + dec + frac;
        break;
      default:
        body = grouped(whole, group) + dec + frac;
        break;
    }
    switch (pick(6)) {
      case 0:
        return negative ? "(" + body + ")" : body;
      case 1:
        return (negative ? "-" : "") + (comma_ ? body + " €" : "$" + body);
      case 2:
        return (comma_ ? "EUR " : "USD ") + std::string(negative ? "-" : "") + body;
      default:
        return (negative ? "-" : "") + body;
    }
  }

  std::string date(int64_t d) {
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    auto ymd = ymdOf(d);
    int y = static_cast<int>(ymd.year());
    unsigned m = static_cast<unsigned>(ymd.month()), dd = static_cast<unsigned>(ymd.day());
    char b[64];
    switch (pick(6)) {
      case 0:
        return dateText(d);
      case 1:
        std::snprintf(b, sizeof b, "%u %s %d", dd, kMonths[m - 1], y);
        break;
      case 2:
        std::snprintf(b, sizeof b, "%s %u, %d", kMonths[m - 1], dd, y);
        break;
      case 3:
        std::snprintf(b, sizeof b, "%02u/%02u/%d", dd, m, y);
        break;  // day first
      case 4:
        std::snprintf(b, sizeof b, "%u.%u.%d", dd, m, y);
        break;
      default:
        std::snprintf(b, sizeof b, "%sT%02d:%02d:00", dateText(d).c_str(), pick(24), pick(60));
        break;
    }
    return b;
  }

  // The table's text and the truth of its data rows.
  std::string table(int rows, bool secondTable, std::vector<Truth>& truth) {
    static const char* kRegions[] = {"North", "South", "East", "West", "Zürich", "north", " East "};
    static const char* kYes[] = {"yes", "Y", "true", "ja"};
    static const char* kNo[] = {"no", "N", "false", "nein"};
    static const char* kBlank[] = {"", "n/a", "-", "  "};
    static const char* kJunk[] = {"abc", "#REF!", "??"};
    const char sep = comma_ ? '\t' : ',';
    auto field = [&](const std::string& s) {
      if (!comma_ && s.find_first_of(",\"") != std::string::npos) {
        std::string q = "\"";
        for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
        return q + "\"";
      }
      return s;
    };
    auto line = [&](const std::vector<std::string>& cells) {
      std::string out;
      for (size_t i = 0; i < cells.size(); ++i)
        out += (i ? std::string(1, sep) : "") + field(cells[i]);
      return out + "\n";
    };
    std::string text =
        "Sales export\n\n" + line({"Date", "Region", "Amount", "Paid", "Qty", "Note"});
    const int64_t first = dayOf(2022, 1, 1), last = dayOf(2025, 12, 31);
    int64_t runningCents = 0;
    for (int i = 0; i < rows; ++i) {
      Truth t;
      std::vector<std::string> cells(6);
      if (chance(3)) {
        t.date = State::blank;
        cells[0] = kBlank[pick(4)];
      } else if (chance(2)) {
        t.date = State::junk;
        cells[0] = "soon";
      } else {
        t.day = first + pick(static_cast<int>(last - first + 1));
        cells[0] = date(t.day);
      }
      if (chance(2)) {
        cells[1] = kBlank[pick(4)];
      } else {
        cells[1] = kRegions[pick(7)];
        t.region = cells[1];
      }
      if (chance(3)) {
        t.amount = State::blank;
        cells[2] = kBlank[pick(4)];
      } else if (chance(2)) {
        t.amount = State::junk;
        cells[2] = kJunk[pick(3)];
      } else {
        t.cents = static_cast<int64_t>(rng_() % 5'050'001) - 50'000;
        if (chance(5)) t.cents = t.cents / 100 * 100;
        cells[2] = money(t.cents);
        runningCents += t.cents;
      }
      if (chance(3)) {
        t.paid = State::blank;
        cells[3] = kBlank[pick(4)];
      } else if (chance(1)) {
        t.paid = State::junk;
        cells[3] = "maybe";
      } else {
        t.yes = chance(60);
        cells[3] = t.yes ? kYes[pick(4)] : kNo[pick(4)];
      }
      t.qty = 1 + pick(20);
      cells[4] = std::to_string(t.qty);
      cells[5] =
          chance(30) ? "" : "order " + std::to_string(pick(100000)) + (chance(50) ? " urgent" : "");
      text += line(cells);
      truth.push_back(t);
      if (chance(1)) text += "\n";
      if (i % 700 == 699) text += line({"Total", "", money(runningCents), "", "", ""});
    }
    if (secondTable) {
      text += "\n" + line({"Name", "Phone"});
      for (int i = 0; i < 20; ++i)
        text += line({"Person " + std::to_string(i), "555-01" + std::to_string(10 + i)});
    }
    return text;
  }

  std::mt19937_64 rng_;
  bool comma_;
};

// ---- The reference computation ----------------------------------------------------------------

std::string fold(std::string s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s.compare(i, 2, "ü") == 0 || s.compare(i, 2, "Ü") == 0) {
      out += 'u';
      ++i;
    } else {
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
    }
  }
  return out;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

enum class Col { date, region, amount, paid, qty };
const char* kColNames[] = {"Date", "Region", "Amount", "Paid", "Qty"};

struct RefFilter {
  Col col;
  std::string op;
  std::vector<int64_t> numbers;    // cents, days or qty
  std::vector<std::string> texts;  // region targets, folded
  bool yes = false;
  bool wantBlank = true;
  std::string json;
};

struct RefGroup {
  Col col;
  std::string period;  // for the date column: "" is day
  std::string json;
};

struct RefMeasure {
  std::string op;
  std::optional<Col> col;
  std::string json;
  std::string label;
};

struct Question {
  std::vector<RefFilter> filters;
  std::vector<RefGroup> groups;
  std::vector<RefMeasure> measures;
  std::string json() const {
    std::string out = "{\"limit\": 500";
    auto list = [&](const char* key, const auto& items) {
      if (items.empty()) return;
      out += std::string(", \"") + key + "\": [";
      for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i].json;
      out += "]";
    };
    list("filters", filters);
    list("group_by", groups);
    list("measures", measures);
    return out + "}";
  }
};

State stateOf(const Truth& t, Col c) {
  switch (c) {
    case Col::date:
      return t.date;
    case Col::region:
      return t.region.empty() || trim(t.region).empty() ? State::blank : State::ok;
    case Col::amount:
      return t.amount;
    case Col::paid:
      return t.paid;
    case Col::qty:
      return State::ok;
  }
  return State::ok;
}

int64_t numberOf(const Truth& t, Col c) {
  return c == Col::date ? t.day : c == Col::amount ? t.cents : t.qty;
}

const char* misfitReason(Col c) {
  return c == Col::date   ? "not a date in "
         : c == Col::paid ? "not yes or no in "
                          : "not a number in ";
}

std::string periodKey(int64_t d, const std::string& period) {
  auto ymd = ymdOf(d);
  int y = static_cast<int>(ymd.year());
  unsigned m = static_cast<unsigned>(ymd.month());
  char b[32];
  if (period.empty() || period == "day") return dateText(d);
  if (period == "month")
    std::snprintf(b, sizeof b, "%04d-%02u", y, m);
  else if (period == "quarter")
    std::snprintf(b, sizeof b, "%04d-Q%u", y, (m - 1) / 3 + 1);
  else if (period == "year")
    std::snprintf(b, sizeof b, "%04d", y);
  else {
    sys_days sd{days{d}};
    unsigned iso = weekday{sd}.iso_encoding();
    sys_days thursday = sd + days{4 - static_cast<int>(iso)};
    year ty = year_month_day{thursday}.year();
    auto week = (thursday - sys_days{ty / January / 1}).count() / 7 + 1;
    std::snprintf(b, sizeof b, "%04d-W%02d", static_cast<int>(ty), static_cast<int>(week));
  }
  return b;
}

struct RefAcc {
  int64_t n = 0, blank = 0, misfit = 0;
  __int128 sum = 0;
  std::vector<int64_t> values;
  std::set<std::string> distinct;
};

struct RefAnswer {
  int64_t read = 0, filtered = 0, used = 0;
  std::map<std::string, int64_t> skipped;
  std::map<std::vector<std::string>, std::pair<int64_t, std::vector<RefAcc>>> groups;
  std::vector<std::string> coverage;
};

bool passes(const RefFilter& f, const Truth& t) {
  if (f.col == Col::region) {
    std::string v = fold(trim(t.region));
    if (f.op == "contains") return v.find(f.texts[0]) != std::string::npos;
    bool any = std::find(f.texts.begin(), f.texts.end(), v) != f.texts.end();
    return f.op == "not_equals" ? !any : any;
  }
  if (f.col == Col::paid) return t.yes == f.yes;
  int64_t v = numberOf(t, f.col);
  if (f.op == "greater_than") return v > f.numbers[0];
  if (f.op == "less_than") return v < f.numbers[0];
  if (f.op == "between") return f.numbers[0] <= v && v <= f.numbers[1];
  return v == f.numbers[0];
}

RefAnswer reference(const Question& q, const std::vector<Truth>& rows) {
  RefAnswer a;
  for (const Truth& t : rows) {
    ++a.read;
    bool done = false;
    for (const auto& f : q.filters) {
      State s = stateOf(t, f.col);
      if (f.op == "is_blank") {
        if ((s == State::blank) != f.wantBlank) {
          ++a.filtered;
          done = true;
          break;
        }
        continue;
      }
      if (s == State::blank) {
        ++a.skipped[std::string("blank ") + kColNames[static_cast<int>(f.col)]];
        done = true;
        break;
      }
      if (s == State::junk) {
        ++a.skipped[misfitReason(f.col) + std::string(kColNames[static_cast<int>(f.col)])];
        done = true;
        break;
      }
      if (!passes(f, t)) {
        ++a.filtered;
        done = true;
        break;
      }
    }
    if (done) continue;
    std::vector<std::string> key;
    for (const auto& g : q.groups) {
      State s = stateOf(t, g.col);
      if (s == State::blank) {
        key.push_back("\x01none");
        continue;
      }
      if (s == State::junk) {
        ++a.skipped[misfitReason(g.col) + std::string(kColNames[static_cast<int>(g.col)])];
        done = true;
        break;
      }
      switch (g.col) {
        case Col::date:
          key.push_back(periodKey(t.day, g.period));
          break;
        case Col::region:
          key.push_back(trim(t.region));
          break;
        case Col::paid:
          key.push_back(t.yes ? "yes" : "no");
          break;
        default:
          key.push_back(std::to_string(numberOf(t, g.col)));
          break;
      }
    }
    if (done) continue;
    ++a.used;
    auto& group = a.groups[key];
    group.second.resize(q.measures.size());
    ++group.first;
    for (size_t m = 0; m < q.measures.size(); ++m) {
      const auto& me = q.measures[m];
      if (!me.col) continue;
      RefAcc& acc = group.second[m];
      State s = stateOf(t, *me.col);
      if (s == State::blank) {
        ++acc.blank;
        continue;
      }
      if (me.op == "count") {
        ++acc.n;
        continue;
      }
      if (me.op == "count_distinct") {
        ++acc.n;
        acc.distinct.insert(trim(t.region));
        continue;
      }
      if (s == State::junk) {
        ++acc.misfit;
        continue;
      }
      ++acc.n;
      int64_t v = numberOf(t, *me.col);
      acc.sum += v;
      acc.values.push_back(v);
    }
  }
  for (size_t m = 0; m < q.measures.size(); ++m) {
    const auto& me = q.measures[m];
    if (!me.col) continue;
    int64_t n = 0, blank = 0, misfit = 0;
    for (const auto& [key, g] : a.groups) {
      n += g.second[m].n;
      blank += g.second[m].blank;
      misfit += g.second[m].misfit;
    }
    std::string line =
        me.label + ": " + std::to_string(n) + " value" + (n == 1 ? "" : "s") + " used";
    if (blank) line += ", " + std::to_string(blank) + " blank";
    if (misfit)
      line +=
          ", " + std::to_string(misfit) + (*me.col == Col::date ? " not a date" : " not a number");
    a.coverage.push_back(line);
  }
  return a;
}

std::optional<std::string> refValue(const RefMeasure& me, int64_t rows, RefAcc acc) {
  if (me.op == "count") return std::to_string(me.col ? acc.n : rows);
  if (me.op == "count_distinct") return std::to_string(acc.distinct.size());
  if (acc.n == 0) return std::nullopt;
  const bool money = *me.col == Col::amount, isDate = *me.col == Col::date;
  const int scale = money ? 2 : 0;
  auto show = [&](int64_t v) { return isDate ? dateText(v) : scaled(v, scale); };
  auto& v = acc.values;
  std::sort(v.begin(), v.end());
  if (me.op == "sum") return scaled(acc.sum, scale);
  if (me.op == "average")
    return scaled(roundedDivision(acc.sum * (money ? 10'000 : 1'000'000), acc.n), 6);
  if (me.op == "min") return show(v.front());
  if (me.op == "max") return show(v.back());
  size_t mid = v.size() / 2;
  if (v.size() % 2 == 1) return show(v[mid]);
  __int128 twice = static_cast<__int128>(v[mid - 1]) + v[mid];
  if (isDate) {
    int64_t t = static_cast<int64_t>(twice);
    int64_t earlier = t >= 0 ? t / 2 : -((-t + 1) / 2);
    return dateText(earlier) + (t % 2 != 0 ? " (between two days)" : "");
  }
  return scaled(twice * 5, scale + 1);
}

// ---- Question generation ----------------------------------------------------------------------

Question makeQuestion(std::mt19937_64& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
  Question q;
  auto amount = [&](int64_t cents) { return scaled(cents, 2); };
  const char* regions[] = {"NORTH", "south", "zurich", "East", "west"};
  int filters = pick(3);
  for (int i = 0; i < filters; ++i) {
    RefFilter f;
    switch (pick(9)) {
      case 0: {
        f.col = Col::region;
        f.op = "equals";
        std::string r = regions[pick(5)];
        f.texts = {fold(r)};
        f.json = R"({"column": "region", "op": "equals", "value": ")" + r + "\"}";
        break;
      }
      case 1: {
        f.col = Col::region;
        f.op = "one_of";
        std::string r1 = regions[pick(5)], r2 = regions[pick(5)];
        f.texts = {fold(r1), fold(r2)};
        f.json = R"({"column": "Region", "operation": "one of", "values": [")" + r1 + "\", \"" +
                 r2 + "\"]}";
        break;
      }
      case 2: {
        f.col = Col::amount;
        int64_t c = static_cast<int64_t>(rng() % 5'000'000) - 10'000;
        f.op = pick(2) ? "greater_than" : "less_than";
        f.numbers = {c};
        f.json = R"({"column": "Amount", "op": ")" + f.op + R"(", "value": )" + amount(c) + "}";
        break;
      }
      case 3: {
        f.col = Col::amount;
        int64_t lo = static_cast<int64_t>(rng() % 3'000'000),
                hi = lo + static_cast<int64_t>(rng() % 2'000'000);
        f.op = "between";
        f.numbers = {lo, hi};
        // A comma table still reads JSON-style point decimals first.
        f.json = R"({"column": "Amount", "op": "between", "values": [")" + amount(lo) + "\", \"" +
                 amount(hi) + "\"]}";
        break;
      }
      case 4: {
        f.col = Col::date;
        int64_t lo = dayOf(2022, 1, 1) + pick(1000), hi = lo + pick(400);
        f.op = "between";
        f.numbers = {lo, hi};
        f.json = R"({"column": "Date", "op": "between", "values": [")" + dateText(lo) + "\", \"" +
                 dateText(hi) + "\"]}";
        break;
      }
      case 5: {
        f.col = Col::paid;
        f.op = "equals";
        f.yes = pick(2);
        f.json = std::string(R"({"column": "Paid", "op": "equals", "value": )") +
                 (f.yes ? "true" : "\"no\"") + "}";
        break;
      }
      case 6: {
        f.col = pick(2) ? Col::amount : Col::paid;
        f.op = "is_blank";
        f.wantBlank = pick(2);
        f.json = std::string(R"({"column": ")") + kColNames[static_cast<int>(f.col)] +
                 R"(", "op": "is_blank", "value": ")" + (f.wantBlank ? "yes" : "no") + "\"}";
        break;
      }
      case 7: {
        f.col = Col::region;
        f.op = "contains";
        f.texts = {"th"};
        f.json = R"({"column": "Region", "op": "contains", "value": "TH"})";
        break;
      }
      default: {
        f.col = Col::qty;
        f.op = "greater_than";
        f.numbers = {pick(20)};
        f.json = R"({"column": "Qty", "op": "greater_than", "value": )" +
                 std::to_string(f.numbers[0]) + "}";
        break;
      }
    }
    q.filters.push_back(f);
  }
  switch (pick(8)) {
    case 0:
      break;
    case 1:
      q.groups = {{Col::region, "", "\"Region\""}};
      break;
    case 2:
      q.groups = {{Col::paid, "", "\"Paid\""}};
      break;
    case 3: {
      const char* periods[] = {"month", "quarter", "year", "week", "day"};
      std::string p = periods[pick(5)];
      q.groups = {{Col::date, p, R"({"column": "Date", "period": ")" + p + "\"}"}};
      break;
    }
    case 4:
      q.groups = {{Col::region, "", "\"Region\""},
                  {Col::date, "year", R"({"column": "Date", "period": "year"})"}};
      break;
    case 5:
      q.groups = {{Col::qty, "", "\"Qty\""}};
      break;
    case 6:
      q.groups = {{Col::paid, "", "\"Paid\""}, {Col::region, "", "\"Region\""}};
      break;
    default:
      q.groups = {{Col::date, "", "\"Date\""}};
      break;
  }
  struct Option {
    const char* op;
    std::optional<Col> col;
  } options[] = {{"count", std::nullopt}, {"count", Col::amount},
                 {"sum", Col::amount},    {"average", Col::amount},
                 {"median", Col::amount}, {"min", Col::amount},
                 {"max", Col::amount},    {"count_distinct", Col::region},
                 {"min", Col::date},      {"max", Col::date},
                 {"median", Col::date},   {"sum", Col::qty},
                 {"average", Col::qty},   {"median", Col::qty}};
  std::set<int> chosen;
  int count = 1 + pick(5);
  for (int i = 0; i < count; ++i) chosen.insert(pick(14));
  for (int i : chosen) {
    RefMeasure m{options[i].op, options[i].col, "", ""};
    if (m.col) {
      std::string name = kColNames[static_cast<int>(*m.col)];
      m.json = R"({"op": ")" + m.op + R"(", "column": ")" + name + "\"}";
      m.label = m.op + " of " + name;
    } else {
      m.json = "\"count\"";
      m.label = "count";
    }
    q.measures.push_back(m);
  }
  return q;
}

void checkAnswers(bool comma, uint64_t seed, bool secondTable) {
  Generator gen(seed, comma);
  std::vector<Truth> truth;
  std::string text = gen.table(3000, secondTable, truth);
  Table table(text, comma ? "sales.tsv" : "sales.csv");
  const TableLayout& layout = table.layout;
  ASSERT_EQ(layout.rows, static_cast<int64_t>(truth.size()));
  ASSERT_EQ(layout.columns.size(), 6u);
  EXPECT_EQ(layout.columns[0].kind, TableColumn::Kind::date);
  EXPECT_EQ(layout.columns[0].dateOrder, TableCell::DateOrder::dayFirst);
  EXPECT_EQ(layout.columns[1].kind, TableColumn::Kind::text);
  EXPECT_EQ(layout.columns[2].kind, TableColumn::Kind::number);
  EXPECT_EQ(layout.columns[2].decimal,
            comma ? TableCell::Decimal::comma : TableCell::Decimal::point);
  EXPECT_FALSE(layout.columns[2].ambiguous);
  EXPECT_EQ(layout.columns[3].kind, TableColumn::Kind::yesno);
  EXPECT_EQ(layout.columns[4].kind, TableColumn::Kind::number);
  EXPECT_EQ(layout.totalsRows.size(), truth.size() / 700);
  EXPECT_EQ(layout.secondTableRow.has_value(), secondTable);

  std::mt19937_64 rng(seed * 7 + 1);
  for (int i = 0; i < 40; ++i) {
    Question q = makeQuestion(rng);
    std::string json = q.json();
    SCOPED_TRACE(json);
    TableAnswer a = table.ask(json);
    RefAnswer r = reference(q, truth);
    EXPECT_EQ(a.rowsRead, r.read);
    EXPECT_EQ(a.rowsFiltered, r.filtered);
    EXPECT_EQ(a.rowsUsed, r.used);
    std::map<std::string, int64_t> skipped(a.skipped.begin(), a.skipped.end());
    EXPECT_EQ(skipped, r.skipped);
    EXPECT_EQ(a.measureCoverage, r.coverage);
    size_t expectedGroups = q.groups.empty() ? 1 : r.groups.size();
    EXPECT_EQ(a.groups, static_cast<int64_t>(expectedGroups));
    EXPECT_EQ(a.rows.size(), std::min<size_t>(expectedGroups, 200));
    for (const auto& row : a.rows) {
      std::vector<std::string> key;
      for (size_t g = 0; g < q.groups.size(); ++g) key.push_back(row[g] ? *row[g] : "\x01none");
      auto it = r.groups.find(key);
      if (q.groups.empty() && it == r.groups.end()) {
        // No row used: measures over nothing.
        for (size_t m = 0; m < q.measures.size(); ++m)
          EXPECT_EQ(row[m], refValue(q.measures[m], 0, RefAcc{}));
        continue;
      }
      ASSERT_NE(it, r.groups.end()) << "unexpected group";
      for (size_t m = 0; m < q.measures.size(); ++m)
        EXPECT_EQ(row[q.groups.size() + m],
                  refValue(q.measures[m], it->second.first, it->second.second[m]))
            << q.measures[m].label;
    }
  }
}

TEST(TableOracle, PointMoneyWithTotalsAndASecondTable) { checkAnswers(false, 20240403, true); }

TEST(TableOracle, CommaMoneyInATabSeparatedFile) { checkAnswers(true, 77, false); }

TEST(TableOracle, AnotherDrawOfBoth) {
  checkAnswers(false, 5, false);
  checkAnswers(true, 6, true);
}

}  // namespace
}  // namespace zelk
