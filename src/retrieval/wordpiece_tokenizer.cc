// WordPiece tokenization of the uncased BERT kind, as the bge-small-en-v1.5 vocabulary expects.
#include "retrieval/wordpiece_tokenizer.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>

#include "platform/atomic_file.h"
#include "platform/unicode.h"

namespace zelk {
namespace {

constexpr size_t kMaxVocabBytes = size_t(64) << 20;

bool isIdeograph(UChar32 c) {
  return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) ||
         (c >= 0x20000 && c <= 0x2A6DF) || (c >= 0x2A700 && c <= 0x2CEAF) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

bool isPunctuation(UChar32 c) {
  if ((c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) ||
      (c >= 123 && c <= 126)) {
    return true;
  }
  switch (u_charType(c)) {
    case U_CONNECTOR_PUNCTUATION:
    case U_DASH_PUNCTUATION:
    case U_START_PUNCTUATION:
    case U_END_PUNCTUATION:
    case U_INITIAL_PUNCTUATION:
    case U_FINAL_PUNCTUATION:
    case U_OTHER_PUNCTUATION:
      return true;
    default:
      return false;
  }
}

bool isSplitSpace(UChar32 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void appendUtf8(UChar32 c, std::string& out) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

// Splits one lower-cased, accent-free piece at punctuation and adds the words to out.
void splitPunctuation(const std::u32string& piece, std::vector<std::string>& out) {
  std::string run;
  for (char32_t c : piece) {
    if (isSplitSpace(UChar32(c))) {
      if (!run.empty()) out.push_back(std::move(run));
      run.clear();
    } else if (isPunctuation(UChar32(c))) {
      if (!run.empty()) out.push_back(std::move(run));
      run.clear();
      std::string p;
      appendUtf8(UChar32(c), p);
      out.push_back(std::move(p));
    } else {
      appendUtf8(UChar32(c), run);
    }
  }
  if (!run.empty()) out.push_back(std::move(run));
}

// Lower-cases a piece and strips its accents (canonical decomposition, nonspacing marks dropped).
std::u32string foldPiece(const std::u32string& piece) {
  bool ascii = std::all_of(piece.begin(), piece.end(), [](char32_t c) { return c < 0x80; });
  std::u32string out;
  out.reserve(piece.size());
  if (ascii) {
    for (char32_t c : piece) out += (c >= 'A' && c <= 'Z') ? c + 32 : c;
    return out;
  }
  icu::UnicodeString text =
      icu::UnicodeString::fromUTF32(reinterpret_cast<const UChar32*>(piece.data()),
                                    int32_t(piece.size()));
  text.toLower(icu::Locale::getRoot());
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_SUCCESS(status)) {
    icu::UnicodeString decomposed = nfd->normalize(text, status);
    if (U_SUCCESS(status)) text = decomposed;
  }
  for (int32_t i = 0; i < text.length();) {
    UChar32 c = text.char32At(i);
    i += U16_LENGTH(c);
    if (u_charType(c) != U_NON_SPACING_MARK) out += char32_t(c);
  }
  return out;
}

std::vector<size_t> scalarOffsets(const std::string& word) {
  std::vector<size_t> offsets;
  for (size_t i = 0; i < word.size(); ++i) {
    if ((static_cast<unsigned char>(word[i]) & 0xC0) != 0x80) offsets.push_back(i);
  }
  offsets.push_back(word.size());
  return offsets;
}

}  // namespace

std::optional<WordPieceTokenizer> WordPieceTokenizer::fromFile(const std::string& vocabPath) {
  std::optional<std::string> text = platform::readFile(vocabPath, kMaxVocabBytes);
  if (!text) return std::nullopt;
  return fromText(*text);
}

std::optional<WordPieceTokenizer> WordPieceTokenizer::fromText(std::string_view text) {
  WordPieceTokenizer tokenizer;
  int32_t nextId = 0;
  bool started = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    // The final line feed ends the last line; it does not begin another.
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      // Empty lines take an id once tokens have begun, but no text can map to them.
      if (started) ++nextId;
      continue;
    }
    started = true;
    tokenizer.vocab[std::string(line)] = nextId++;
    size_t scalars = scalarOffsets(std::string(line)).size() - 1;
    tokenizer.longestTokenScalars_ = std::max(tokenizer.longestTokenScalars_, scalars);
  }
  if (tokenizer.vocab.empty()) return std::nullopt;
  auto special = [&](const char* name, int32_t fallback) {
    auto it = tokenizer.vocab.find(name);
    return it == tokenizer.vocab.end() ? fallback : it->second;
  };
  tokenizer.clsId = special("[CLS]", 101);
  tokenizer.sepId = special("[SEP]", 102);
  tokenizer.unkId = special("[UNK]", 100);
  tokenizer.padId = special("[PAD]", 0);
  return tokenizer;
}

std::vector<std::string> WordPieceTokenizer::basicTokenize(std::string_view text) {
  icu::UnicodeString unicode = platform::toUnicode(text);
  std::u32string cleaned;
  cleaned.reserve(size_t(unicode.length()) + 8);
  for (int32_t i = 0; i < unicode.length();) {
    UChar32 c = unicode.char32At(i);
    i += U16_LENGTH(c);
    if (c == 0 || c == 0xFFFD) continue;
    if (c == '\t' || c == '\n' || c == '\r') {
      cleaned += U' ';
      continue;
    }
    int8_t type = u_charType(c);
    if (type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR || type == U_CONTROL_CHAR ||
        type == U_FORMAT_CHAR || type == U_SURROGATE || type == U_PRIVATE_USE_CHAR) {
      continue;
    }
    if (type == U_SPACE_SEPARATOR) {
      cleaned += U' ';
    } else if (isIdeograph(c)) {
      cleaned += U' ';
      cleaned += char32_t(c);
      cleaned += U' ';
    } else {
      cleaned += char32_t(c);
    }
  }

  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < cleaned.size()) {
    while (pos < cleaned.size() && isSplitSpace(UChar32(cleaned[pos]))) ++pos;
    size_t end = pos;
    while (end < cleaned.size() && !isSplitSpace(UChar32(cleaned[end]))) ++end;
    if (end > pos) splitPunctuation(foldPiece(cleaned.substr(pos, end - pos)), words);
    pos = end;
  }
  return words;
}

std::vector<std::string> WordPieceTokenizer::wordPiece(const std::string& word) const {
  std::vector<size_t> offsets = scalarOffsets(word);
  size_t n = offsets.size() - 1;
  if (n > size_t(maxInputCharsPerWord)) return {"[UNK]"};
  std::vector<std::string> pieces;
  size_t start = 0;
  std::string key;
  while (start < n) {
    size_t end = std::min(n, start + longestTokenScalars_);
    bool found = false;
    for (; end > start; --end) {
      key.assign(start > 0 ? "##" : "");
      key.append(word, offsets[start], offsets[end] - offsets[start]);
      if (vocab.count(key)) {
        found = true;
        break;
      }
    }
    if (!found) return {"[UNK]"};
    pieces.push_back(key);
    start = end;
  }
  return pieces;
}

std::vector<int32_t> WordPieceTokenizer::encode(std::string_view text, bool addSpecialTokens,
                                                int maxLength) const {
  size_t limit = size_t(std::max(addSpecialTokens ? maxLength - 2 : maxLength, 0));
  std::vector<int32_t> ids;
  if (addSpecialTokens) ids.push_back(clsId);
  size_t pieces = 0;
  if (limit > 0) {
    for (const std::string& word : basicTokenize(text)) {
      for (const std::string& piece : wordPiece(word)) {
        auto it = vocab.find(piece);
        ids.push_back(it == vocab.end() ? unkId : it->second);
        if (++pieces == limit) break;
      }
      if (pieces == limit) break;
    }
  }
  if (addSpecialTokens) ids.push_back(sepId);
  return ids;
}

std::optional<int32_t> WordPieceTokenizer::idOf(std::string_view token) const {
  auto it = vocab.find(std::string(token));
  if (it == vocab.end()) return std::nullopt;
  return it->second;
}

int32_t WordPieceTokenizer::maxId() const {
  int32_t top = std::max({clsId, sepId, unkId, padId});
  for (const auto& [token, id] : vocab) top = std::max(top, id);
  return top;
}

}  // namespace zelk
