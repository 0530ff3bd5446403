// A small pull reader for the index files' JSON. An index of a large base is hundreds of
// megabytes of passage text, so it is decoded straight into its records, without a tree of
// values in between. Strict JSON; unknown members are skipped. One reader per text, one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelk::index_json {

class Reader {
 public:
  // Arrays and objects nested deeper than this make the text unreadable.
  static constexpr int kMaxDepth = 1000;

  explicit Reader(std::string_view text) : text_(text) {}

  // False once anything failed; every later call then fails too.
  bool ok() const { return ok_; }
  bool fail() { return ok_ = false; }

  // The next value's first character (after white space), or 0 at the end or after a failure.
  char peek();
  // True when only white space is left.
  bool atEnd();

  // Object members: call beginObject, then nextMember until it returns false; `first` starts
  // true. False from nextMember means the object ended or the text is broken (see ok()).
  bool beginObject();
  bool nextMember(bool& first, std::string& key);
  bool beginArray();
  bool nextElement(bool& first);

  bool readString(std::string& out);
  bool readNumber(double& out);
  bool readBool(bool& out);
  // Consumes a null and answers true; answers false (consuming nothing) for any other value.
  bool readNull();
  bool skipValue();

  // An integral number within [min, max].
  bool readInteger(int64_t& out, int64_t min, int64_t max);

 private:
  void skipSpace();
  bool literal(std::string_view word);
  bool skipString();

  std::string_view text_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace zelk::index_json
