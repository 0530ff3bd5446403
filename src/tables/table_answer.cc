// The one-pass evaluation of a planned table question: filters, group keys, measures in exact
// decimals, then results, sorting, the limit, coverage and notes.
#include "tables/table_answer.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <unordered_map>

#include "platform/unicode.h"
#include "tables/internal/answer_text_set.h"
#include "tables/internal/question_text.h"

namespace zelk {

namespace {

using Kind = TableColumn::Kind;
using FilterOp = TableQuestion::FilterOp;
using MeasureOp = TableQuestion::MeasureOp;

const std::string kEmpty;
const char* kPrivacyNotice =
    "Some values were hidden by the user's privacy rules and appear as placeholders like [SSN "
    "1]. The same placeholder always stands for the same value. They were removed on purpose; "
    "they are not missing or corrupt, and should not be guessed.";

struct Sortable {
  bool isNumber = false;
  DecimalNumber number;
  std::string text;

  static Sortable ofNumber(DecimalNumber n) {
    Sortable s;
    s.isNumber = true;
    s.number = n;
    return s;
  }
  static Sortable ofText(std::string t) {
    Sortable s;
    s.text = std::move(t);
    return s;
  }
};

// Ascending: missing after present, numbers before texts, numbers by value, texts naturally.
int compareSortable(const std::optional<Sortable>& a, const std::optional<Sortable>& b) {
  if (!a && !b) return 0;
  if (!a) return 1;
  if (!b) return -1;
  if (a->isNumber != b->isNumber) return a->isNumber ? -1 : 1;
  if (a->isNumber) {
    auto o = a->number <=> b->number;
    return o < 0 ? -1 : (o > 0 ? 1 : 0);
  }
  return tables::naturalCompare(a->text, b->text);
}

struct MeasureAcc {
  int64_t n = 0, blank = 0, misfit = 0;
  DecimalNumber sum;
  std::vector<DecimalNumber> values;
  std::map<DecimalNumber, std::string> hiddenValues;
  tables::TextSet distinct;
  std::optional<DecimalNumber> min, max;
  std::string minCell, maxCell;
};

struct GroupAcc {
  int64_t rows = 0;
  std::vector<MeasureAcc> measures;
  std::vector<std::optional<std::string>> keyParts;
  std::vector<bool> keyHidden;
  std::vector<std::optional<Sortable>> sortKeys;
};

// The skip reasons of one planned column, made once.
struct Reasons {
  std::string blank, hidden, misfit;
  explicit Reasons(const QuestionPlan::Col& col) {
    const std::string& name = col.column.name;
    blank = "blank " + name;
    hidden = "hidden by your rules in " + name;
    switch (col.column.kind) {
      case Kind::number:
        misfit = "not a number in " + name;
        break;
      case Kind::date:
        misfit = "not a date in " + name;
        break;
      case Kind::yesno:
        misfit = "not yes or no in " + name;
        break;
      case Kind::text:
        misfit = "not text in " + name;
        break;
    }
  }
};

std::string misfitWords(Kind kind) {
  switch (kind) {
    case Kind::number:
      return "a number";
    case Kind::date:
      return "a date";
    case Kind::text:
      return "text";
    case Kind::yesno:
      return "yes or no";
  }
  return "text";
}

void appendPart(std::string& key, char tag, std::string_view text) {
  key.push_back(tag);
  uint32_t n = static_cast<uint32_t>(text.size());
  key.append(reinterpret_cast<const char*>(&n), sizeof n);
  key.append(text);
}

struct Result {
  std::optional<std::string> text;
  std::optional<Sortable> sort;
  bool placeholder = false;
};

class Evaluation {
 public:
  Evaluation(const TableQuestion& question, const QuestionPlan& plan, const TableLayout& layout,
             ProtectedCells& cells)
      : question_(question), plan_(plan), layout_(layout), cells_(cells) {
    for (const auto& f : plan.filters) filterReasons_.emplace_back(f.col);
    for (const auto& g : plan.groups) groupReasons_.emplace_back(g.col);
    partCache_.resize(plan.groups.size());
    parts_.resize(plan.groups.size());
  }

  // The row step; false stops the reading (too many groups).
  bool row(const std::vector<std::string>& cells) {
    ++answer.rowsRead;
    for (size_t f = 0; f < plan_.filters.size(); ++f) {
      const auto& fp = plan_.filters[f];
      const std::string& cell = cellAt(cells, fp.col.index);
      if (fp.op == FilterOp::isBlank) {
        if (TableCell::isBlank(cell) != fp.wantBlank) {
          ++answer.rowsFiltered;
          return true;
        }
        continue;
      }
      if (TableCell::isBlank(cell)) return skip(filterReasons_[f].blank);
      if (cells_.hidden(cell, fp.col.index)) return skip(filterReasons_[f].hidden);
      auto value = fp.col.read(cell);
      if (!value) return skip(filterReasons_[f].misfit);
      if (!fp.test(*value)) {
        ++answer.rowsFiltered;
        return true;
      }
    }

    key_.clear();
    for (size_t g = 0; g < plan_.groups.size(); ++g) {
      const auto& gp = plan_.groups[g];
      const std::string& cell = cellAt(cells, gp.col.index);
      // A group column repeats few values: each distinct cell makes its part once. The parts
      // depend on the cell's text alone (the privacy check included), so reuse changes nothing.
      auto& known = partCache_[g];
      auto hit = known.find(cell);
      if (hit == known.end()) {
        if (known.size() >= kPartCacheSize) known.clear();
        hit = known.emplace(cell, makePart(gp, cell)).first;
      }
      const Part& part = hit->second;
      if (part.tag == Part::misfit) return skip(groupReasons_[g].misfit);
      parts_[g] = &part;
      if (part.tag == Part::blank)
        key_.push_back('\0');
      else
        appendPart(key_, static_cast<char>(part.tag), part.text);
    }

    ++answer.rowsUsed;
    GroupAcc* group = find();
    if (!group) return false;
    ++group->rows;
    for (size_t m = 0; m < plan_.measures.size(); ++m) {
      const auto& mp = plan_.measures[m];
      if (!mp.col) continue;
      MeasureAcc& acc = group->measures[m];
      const std::string& cell = cellAt(cells, mp.col->index);
      if (TableCell::isBlank(cell)) {
        ++acc.blank;
        continue;
      }
      if (mp.op == MeasureOp::count) {
        ++acc.n;
        continue;
      }
      auto value = mp.col->read(cell);
      if (mp.op == MeasureOp::countDistinct) {
        ++acc.n;
        if (value)
          acc.distinct.insert(QuestionPlan::Col::canonical(*value));
        else
          acc.distinct.insert(TableCell::trimmed(cell));
        continue;
      }
      if (!value) {
        ++acc.misfit;
        continue;
      }
      ++acc.n;
      DecimalNumber v =
          value->kind == Typed::Kind::day ? DecimalNumber::fromInteger(value->day) : value->number;
      switch (mp.op) {
        case MeasureOp::sum:
        case MeasureOp::average:
          acc.sum += v;
          break;
        case MeasureOp::median:
          acc.values.push_back(v);
          if (mp.col->column.someHidden)
            if (auto placeholder = cells_.hidden(cell, mp.col->index))
              acc.hiddenValues.emplace(v, std::move(*placeholder));
          break;
        case MeasureOp::min:
          if (!acc.min || v < *acc.min) {
            acc.min = v;
            acc.minCell = cell;
          }
          break;
        case MeasureOp::max:
          if (!acc.max || v > *acc.max) {
            acc.max = v;
            acc.maxCell = cell;
          }
          break;
        default:
          break;
      }
    }
    return true;
  }

  void finish() {
    if (tooMany_) {
      std::string names;
      for (size_t i = 0; i < plan_.groups.size(); ++i)
        names += (i ? ", " : "") + plan_.groups[i].col.column.name;
      throw TableRefusal("grouping by " + names + " makes more than " +
                             std::to_string(TableAnswer::kMaxGroups) +
                             " groups; group by a coarser column or period, or filter first",
                         TableRefusal::Kind::tooManyGroups);
    }
    if (sortRefusal_) throw TableRefusal(*sortRefusal_);
    if (plan_.groups.empty() && groups_.empty()) groups_.push_back(newGroup());
    answer.groups = static_cast<int64_t>(groups_.size());

    // Results and their sort values, per group and answer column.
    const size_t width = answer.columns.size();
    const size_t groupCount = plan_.groups.size();
    std::vector<std::vector<Result>> results(groups_.size());
    for (size_t i = 0; i < groups_.size(); ++i) {
      GroupAcc& g = *groups_[i];
      auto& r = results[i];
      r.resize(width);
      for (size_t k = 0; k < groupCount; ++k) {
        r[k].text = g.keyParts[k];
        r[k].sort = g.sortKeys[k];
        r[k].placeholder = g.keyHidden[k];
      }
      for (size_t m = 0; m < plan_.measures.size(); ++m)
        r[groupCount + m] = measureResult(plan_.measures[m], g, g.measures[m]);
    }

    std::vector<size_t> order(groups_.size());
    std::iota(order.begin(), order.end(), 0);
    auto keyTie = [&](size_t a, size_t b) {
      for (size_t k = 0; k < groupCount; ++k) {
        int c = compareSortable(groups_[a]->sortKeys[k], groups_[b]->sortKeys[k]);
        if (c != 0) return c < 0;
      }
      return false;
    };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      if (!sortBy_.empty()) {
        for (const auto& [column, descending] : sortBy_) {
          int c = compareSortable(results[a][column].sort, results[b][column].sort);
          if (descending) c = -c;
          if (c != 0) return c < 0;
        }
      } else if (groups_[a]->rows != groups_[b]->rows) {
        return groups_[a]->rows > groups_[b]->rows;
      }
      return keyTie(a, b);
    });

    answer.shownLimit =
        question_.limit ? std::min(*question_.limit, TableAnswer::kMaxRows) : TableAnswer::kMaxRows;
    bool placeholderShown = false;
    for (size_t i = 0; i < order.size() && static_cast<int64_t>(i) < answer.shownLimit; ++i) {
      std::vector<std::optional<std::string>> shown;
      shown.reserve(width);
      for (auto& cell : results[order[i]]) {
        placeholderShown = placeholderShown || cell.placeholder;
        shown.push_back(std::move(cell.text));
      }
      answer.rows.push_back(std::move(shown));
    }

    for (size_t m = 0; m < plan_.measures.size(); ++m) {
      const auto& mp = plan_.measures[m];
      if (!mp.col) continue;
      int64_t n = 0, blank = 0, misfit = 0;
      for (const auto& g : groups_) {
        n += g->measures[m].n;
        blank += g->measures[m].blank;
        misfit += g->measures[m].misfit;
      }
      std::string line =
          mp.label + ": " + std::to_string(n) + " value" + (n == 1 ? "" : "s") + " used";
      if (blank > 0) line += ", " + std::to_string(blank) + " blank";
      if (misfit > 0)
        line += ", " + std::to_string(misfit) + " not " + misfitWords(mp.col->column.kind);
      answer.measureCoverage.push_back(std::move(line));
    }

    for (const auto& f : plan_.filters) answer.applied.push_back(f.words);

    answer.notes = plan_.notes;
    for (const auto& note : layout_.notes)
      if (!note.starts_with("a large table")) answer.notes.push_back(note);
    if (std::any_of(plan_.measures.begin(), plan_.measures.end(),
                    [](const auto& m) { return m.op == MeasureOp::average; }))
      answer.notes.push_back("averages are rounded to 6 decimal places");
    if (answer.groups > answer.shownLimit) {
      std::string orderWords = question_.sort.empty() ? ", largest first" : " in the order asked";
      std::string groups = std::to_string(answer.groups);
      if (!question_.limit || *question_.limit > TableAnswer::kMaxRows)
        answer.notes.push_back("partial result: the first " + std::to_string(answer.shownLimit) +
                               " of " + groups + " groups" + orderWords +
                               "; filter or group more coarsely for the rest");
      else
        answer.notes.push_back("the first " + std::to_string(*question_.limit) + " of " + groups +
                               " groups" + orderWords + ", as limit asked");
    }
    answer.notes.push_back("at most " + std::to_string(TableAnswer::kMaxRows) +
                           " result rows per answer");
    if (placeholderShown) answer.notes.push_back(kPrivacyNotice);
    answer.hidden = cells_.summary();
  }

  // Columns and sort entries are known before the reading; an unresolvable sort entry is
  // refused after it, so that too many groups is reported first as the finishing order asks.
  void prepare() {
    for (size_t i = 0; i < plan_.groups.size(); ++i) {
      std::string label = plan_.groups[i].col.column.name;
      const auto& asked = question_.groupBy[i].period;
      if (asked) label += " (" + std::string(toString(*asked)) + ")";
      answer.columns.push_back(label);
    }
    for (const auto& m : plan_.measures) answer.columns.push_back(m.label);

    for (const auto& entry : question_.sort) {
      std::string by = platform::lowercased(entry.by);
      std::optional<size_t> picked;
      for (size_t i = 0; i < plan_.groups.size() && !picked; ++i)
        if (platform::lowercased(answer.columns[i]) == by ||
            platform::lowercased(plan_.groups[i].col.column.name) == by)
          picked = i;
      const size_t first = plan_.groups.size();
      for (size_t m = 0; m < plan_.measures.size() && !picked; ++m)
        if (platform::lowercased(plan_.measures[m].label) == by) picked = first + m;
      if (!picked) {
        std::optional<size_t> prefixed;
        int matches = 0;
        for (size_t m = 0; m < plan_.measures.size(); ++m)
          if (platform::lowercased(plan_.measures[m].label).starts_with(by)) {
            ++matches;
            prefixed = first + m;
          }
        if (matches == 1) picked = prefixed;
      }
      if (!picked) {
        if (!sortRefusal_) {
          std::string columns;
          for (size_t i = 0; i < answer.columns.size(); ++i)
            columns += (i ? ", " : "") + answer.columns[i];
          sortRefusal_ = "can't sort by \"" + entry.by +
                         "\": sort by a group column or a measure as the answer names it (" +
                         columns + ")";
        }
        continue;
      }
      sortBy_.emplace_back(*picked, entry.descending);
    }
  }

  TableAnswer answer;

 private:
  struct Part {
    enum Tag { blank = 0, value = 1, placeholder = 2, misfit = 3 };
    Tag tag = blank;
    std::string text;
    Sortable sort;
  };
  static constexpr size_t kPartCacheSize = 4096;

  Part makePart(const QuestionPlan::GroupPlan& gp, const std::string& cell) {
    Part part;
    if (TableCell::isBlank(cell)) return part;
    if (auto placeholder = cells_.hidden(cell, gp.col.index)) {
      part.tag = Part::placeholder;
      part.text = std::move(*placeholder);
      part.sort = Sortable::ofText(part.text);
      return part;
    }
    auto value = gp.col.read(cell);
    if (!value) {
      part.tag = Part::misfit;
      return part;
    }
    part.tag = Part::value;
    switch (value->kind) {
      case Typed::Kind::text:
        part.text = std::move(value->text);
        part.sort = Sortable::ofText(part.text);
        break;
      case Typed::Kind::boolean:
        part.text = value->flag ? "yes" : "no";
        part.sort = Sortable::ofText(part.text);
        break;
      case Typed::Kind::number:
        part.text = value->number.toString();
        part.sort = Sortable::ofNumber(value->number);
        break;
      case Typed::Kind::day: {
        auto p = QuestionPlan::period(value->day, *gp.period);
        part.text = std::move(p.key);
        part.sort = Sortable::ofNumber(DecimalNumber::fromInteger(p.sortDay));
        break;
      }
    }
    return part;
  }

  const std::string& cellAt(const std::vector<std::string>& cells, size_t i) const {
    return i < cells.size() ? cells[i] : kEmpty;
  }

  bool skip(const std::string& reason) {
    auto it = skipIndex_.find(reason);
    if (it == skipIndex_.end()) {
      skipIndex_.emplace(reason, answer.skipped.size());
      answer.skipped.emplace_back(reason, 1);
    } else {
      ++answer.skipped[it->second].second;
    }
    return true;
  }

  std::unique_ptr<GroupAcc> newGroup() const {
    auto g = std::make_unique<GroupAcc>();
    g->measures.resize(plan_.measures.size());
    return g;
  }

  // The row's group, made when new; none when it would be one too many.
  GroupAcc* find() {
    if (plan_.groups.empty()) {
      if (groups_.empty()) groups_.push_back(newGroup());
      return groups_[0].get();
    }
    auto it = index_.find(key_);
    if (it != index_.end()) return groups_[it->second].get();
    if (groups_.size() >= TableAnswer::kMaxGroups) {
      tooMany_ = true;
      return nullptr;
    }
    auto g = newGroup();
    for (size_t k = 0; k < plan_.groups.size(); ++k) {
      const Part& part = *parts_[k];
      if (part.tag == Part::blank) {
        g->keyParts.emplace_back();
        g->keyHidden.push_back(false);
        g->sortKeys.emplace_back();
      } else {
        g->keyParts.emplace_back(part.text);
        g->keyHidden.push_back(part.tag == Part::placeholder);
        g->sortKeys.emplace_back(part.sort);
      }
    }
    index_.emplace(key_, groups_.size());
    groups_.push_back(std::move(g));
    return groups_.back().get();
  }

  Result valueResult(const QuestionPlan::Col& col, const DecimalNumber& v) const {
    Result r;
    r.sort = Sortable::ofNumber(v);
    if (col.column.kind == Kind::date) {
      // Date measures hold whole day numbers here.
      r.text = QuestionPlan::dayText(std::stoll(v.toString()));
    } else {
      r.text = v.toString();
    }
    return r;
  }

  Result placeholderResult(std::string text) const {
    Result r;
    r.sort = Sortable::ofText(text);
    r.text = std::move(text);
    r.placeholder = true;
    return r;
  }

  Result measureResult(const QuestionPlan::MeasurePlan& mp, const GroupAcc& g, MeasureAcc& acc) {
    Result r;
    switch (mp.op) {
      case MeasureOp::count: {
        int64_t n = mp.col ? acc.n : g.rows;
        r.text = std::to_string(n);
        r.sort = Sortable::ofNumber(DecimalNumber::fromInteger(n));
        return r;
      }
      case MeasureOp::countDistinct: {
        auto n = static_cast<int64_t>(acc.distinct.size());
        r.text = std::to_string(n);
        r.sort = Sortable::ofNumber(DecimalNumber::fromInteger(n));
        return r;
      }
      case MeasureOp::sum:
        if (acc.n == 0) return r;
        r.text = acc.sum.toString();
        r.sort = Sortable::ofNumber(acc.sum);
        return r;
      case MeasureOp::average: {
        if (acc.n == 0) return r;
        DecimalNumber mean = acc.sum.dividedBy(acc.n, TableAnswer::kAveragePlaces);
        r.text = mean.toString();
        r.sort = Sortable::ofNumber(mean);
        return r;
      }
      case MeasureOp::median: {
        auto& values = acc.values;
        if (values.empty()) return r;
        size_t mid = values.size() / 2;
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid),
                         values.end());
        DecimalNumber upper = values[mid];
        if (values.size() % 2 == 1) {
          auto hidden = acc.hiddenValues.find(upper);
          if (hidden != acc.hiddenValues.end()) return placeholderResult(hidden->second);
          return valueResult(*mp.col, upper);
        }
        DecimalNumber lower =
            *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
        if (mp.col->column.kind == Kind::date) {
          int64_t a = std::stoll(lower.toString()), b = std::stoll(upper.toString());
          int64_t total = a + b;
          int64_t earlier = total >= 0 ? total / 2 : -((-total + 1) / 2);
          r.sort = Sortable::ofNumber((lower + upper).half());
          r.text = QuestionPlan::dayText(earlier);
          if (total % 2 != 0) *r.text += " (between two days)";
          return r;
        }
        return valueResult(*mp.col, (lower + upper).half());
      }
      case MeasureOp::min:
      case MeasureOp::max: {
        const auto& kept = mp.op == MeasureOp::min ? acc.min : acc.max;
        const std::string& cell = mp.op == MeasureOp::min ? acc.minCell : acc.maxCell;
        if (!kept) return r;
        if (auto placeholder = cells_.hidden(cell, mp.col->index))
          return placeholderResult(std::move(*placeholder));
        return valueResult(*mp.col, *kept);
      }
    }
    return r;
  }

  const TableQuestion& question_;
  const QuestionPlan& plan_;
  const TableLayout& layout_;
  ProtectedCells& cells_;
  std::vector<Reasons> filterReasons_, groupReasons_;
  std::vector<std::pair<size_t, bool>> sortBy_;  // answer column, descending
  std::optional<std::string> sortRefusal_;
  std::unordered_map<std::string, size_t> skipIndex_;
  std::unordered_map<std::string, size_t> index_;
  std::vector<std::unique_ptr<GroupAcc>> groups_;
  std::string key_;
  std::vector<std::unordered_map<std::string, Part>> partCache_;  // per group column
  std::vector<const Part*> parts_;  // this row's parts, valid until the next row
  bool tooMany_ = false;
};

}  // namespace

TableAnswer TableQuestion::answer(TableReader& reader, const TableReader::Sheet* sheet,
                                  const TableLayout& layout, ProtectedCells& cells) const {
  QuestionPlan plan(*this, layout);
  Evaluation evaluation(*this, plan, layout, cells);
  evaluation.prepare();
  TableLayout::read(
      reader, sheet, &layout, [](const std::vector<std::string>&) {},
      [&](int64_t, const std::vector<std::string>& row) { return evaluation.row(row); });
  evaluation.finish();
  return std::move(evaluation.answer);
}

JSONObject TableAnswer::object(const std::string& file, const std::string& modified,
                               const std::optional<std::string>& sheet) const {
  JSONObject o;
  o["status"] = "answer";
  o["file"] = file;
  o["modified"] = modified;
  o["columns"] = JSONArray(columns.begin(), columns.end());
  JSONArray shown;
  for (const auto& r : rows) {
    JSONArray cells;
    for (const auto& c : r) cells.push_back(c ? JSONValue(*c) : JSONValue(nullptr));
    shown.push_back(std::move(cells));
  }
  o["rows"] = std::move(shown);
  o["groups"] = groups;
  JSONObject coverage;
  coverage["rows_read"] = rowsRead;
  coverage["rows_filtered_out"] = rowsFiltered;
  coverage["rows_used"] = rowsUsed;
  if (!skipped.empty()) {
    JSONObject reasons;
    for (const auto& [reason, count] : skipped) reasons[reason] = count;
    coverage["rows_skipped"] = std::move(reasons);
  }
  if (!measureCoverage.empty())
    coverage["measures"] = JSONArray(measureCoverage.begin(), measureCoverage.end());
  o["coverage"] = std::move(coverage);
  o["notes"] = JSONArray(notes.begin(), notes.end());
  if (sheet) o["sheet"] = *sheet;
  if (!applied.empty()) o["filters_applied"] = JSONArray(applied.begin(), applied.end());
  if (!hidden.empty()) {
    JSONObject byType;
    for (const auto& [type, count] : hidden) byType[type] = count;
    o["redactions"] = JSONObject{{"hidden_by_type", JSONValue(std::move(byType))}};
  }
  return o;
}

}  // namespace zelk
