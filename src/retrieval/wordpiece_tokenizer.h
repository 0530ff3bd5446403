// The uncased BERT WordPiece tokenizer of the sentence embedder: text to vocabulary ids.
// A tokenizer is immutable once built; any thread may use it concurrently.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zelk {

class WordPieceTokenizer {
 public:
  // Reads vocab.txt; nullopt when the file is unreadable or yields no tokens.
  static std::optional<WordPieceTokenizer> fromFile(const std::string& vocabPath);
  // The same from the file's content.
  static std::optional<WordPieceTokenizer> fromText(std::string_view vocabText);

  // Token ids: basic tokenization, WordPiece, then ids (unkId for a piece missing from the
  // vocabulary). With addSpecialTokens the pieces are cut to max(maxLength - 2, 0) and framed by
  // clsId and sepId; without, cut to maxLength. No padding.
  std::vector<int32_t> encode(std::string_view text, bool addSpecialTokens, int maxLength) const;

  // The word list of basic tokenization (cleaning, ideographs, lower-casing, accents,
  // punctuation).
  static std::vector<std::string> basicTokenize(std::string_view text);
  // WordPiece of one word: longest match first with "##" continuations; a word that cannot be
  // covered, or has more than maxInputCharsPerWord scalars, is the single piece "[UNK]".
  std::vector<std::string> wordPiece(const std::string& word) const;

  // Id of a token, nullopt when it is not in the vocabulary.
  std::optional<int32_t> idOf(std::string_view token) const;
  // Largest id that encode can produce (vocabulary ids and the special ids).
  int32_t maxId() const;
  size_t tokenCount() const { return vocab.size(); }

  std::unordered_map<std::string, int32_t> vocab;
  int32_t clsId = 101;
  int32_t sepId = 102;
  int32_t unkId = 100;
  int32_t padId = 0;
  static constexpr int maxInputCharsPerWord = 200;
  static constexpr bool doLowerCase = true;

 private:
  WordPieceTokenizer() = default;
  // Longest token in Unicode scalars: no longer substring can match, which bounds the search.
  size_t longestTokenScalars_ = 0;
};

}  // namespace zelk
