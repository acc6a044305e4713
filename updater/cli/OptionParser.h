#pragma once
// Command-line option parser: hands back the words of argv one option at a time,
// matched against a caller's table of rows.
//
// Matching is case-sensitive; the leading hyphens of a word must be exactly those
// of the row. A word that is a proper prefix of exactly one row's text (after the
// hyphens) is that row. An argument is attached with "=" or given as the next
// word. Words without a leading "-" are set aside and end up, in their order,
// behind every option and argument word. argv is changed in place.
#include <algorithm>
#include <cstddef>

template <class SOCHAR>
class CSimpleOptTempl {
public:
  struct SOption {
    int id;              // handed back by OptionId; -1 ends the table
    const SOCHAR* text;  // the option text with its leading hyphens
    int argType;         // ARG_NONE or ARG_REQUIRED
  };

  enum ArgType { ARG_NONE = 0, ARG_REQUIRED = 1 };

  enum Error {
    ERR_NONE = 0,
    ERR_UNKNOWN = -1,         // begins with "-" and matches no row
    ERR_AMBIGUOUS = -2,       // abbreviates two or more rows
    ERR_UNEXPECTED_ARG = -3,  // "=" argument on a row that takes none
    ERR_MISSING_ARG = -5,     // the row needs an argument and no word is left
    ERR_ARG_IS_OPTION = -6,   // the row needs an argument and the next word begins with "-"
  };

  CSimpleOptTempl(int argc, SOCHAR** argv, const SOption* options, int flags = 0) {
    Init(argc, argv, options, flags);
  }

  // Always succeeds: words are moved in place, so no scratch room is needed.
  bool Init(int argc, SOCHAR** argv, const SOption* options, int flags = 0) {
    options_ = options;
    flags_ = flags;
    argv_ = argv;
    // A missing or empty argv has no program name and no words to read.
    argc_ = (argv == nullptr || argc < 1) ? 0 : argc;
    last_ = argc_;
    next_ = argc_ > 0 ? 1 : 0;
    ClearCurrent();
    return true;
  }

  bool Next() {
    ClearCurrent();
    const int start = next_;
    int word = next_;
    while (word < last_ && !IsOptionWord(argv_[word])) ++word;
    if (word >= last_) {
      SetAside(start, word - start);
      next_ = last_;
      return false;
    }

    SOCHAR* text = argv_[word];
    SOCHAR* attached = nullptr;
    for (SOCHAR* p = text; *p; ++p) {
      if (*p == SOCHAR('=')) {
        *p = SOCHAR(0);
        attached = p + 1;
        break;
      }
    }
    int after = word + 1;
    int found = -1;
    const int match = Lookup(text, &found);
    if (match != ERR_NONE) {
      error_ = match;
      text_ = text;
    } else {
      const SOption& row = options_[found];
      id_ = row.id;
      text_ = row.text;
      if (row.argType == ARG_NONE) {
        if (attached != nullptr) error_ = ERR_UNEXPECTED_ARG;
      } else if (attached != nullptr) {
        arg_ = attached;
      } else if (after >= last_) {
        error_ = ERR_MISSING_ARG;
      } else if (IsOptionWord(argv_[after])) {
        error_ = ERR_ARG_IS_OPTION;
      } else {
        arg_ = argv_[after];
        ++after;
      }
    }
    const int skipped = word - start;
    SetAside(start, skipped);
    next_ = after - skipped;
    return true;
  }

  int LastError() const { return error_; }
  int OptionId() const { return id_; }
  const SOCHAR* OptionText() const { return text_; }
  SOCHAR* OptionArg() const { return arg_; }

  // Words that were set aside, in the order given (valid once Next returned false).
  int FileCount() const { return argc_ - last_; }
  SOCHAR** Files() const { return argv_ + last_; }

private:
  static bool IsOptionWord(const SOCHAR* word) { return word != nullptr && word[0] == SOCHAR('-'); }

  static size_t Hyphens(const SOCHAR* text) {
    size_t n = 0;
    while (text[n] == SOCHAR('-')) ++n;
    return n;
  }

  // ERR_NONE with the row's index, or ERR_UNKNOWN / ERR_AMBIGUOUS.
  int Lookup(const SOCHAR* word, int* index) const {
    int abbreviated = -1;
    int abbreviations = 0;
    if (options_ == nullptr) return ERR_UNKNOWN;
    const size_t wordHyphens = Hyphens(word);
    const SOCHAR* wordRest = word + wordHyphens;
    if (*wordRest == SOCHAR(0)) return ERR_UNKNOWN;
    for (int row = 0; options_[row].id != -1; ++row) {
      const SOCHAR* rowText = options_[row].text;
      if (rowText == nullptr || Hyphens(rowText) != wordHyphens) continue;
      const SOCHAR* a = wordRest;
      const SOCHAR* b = rowText + wordHyphens;
      while (*a != SOCHAR(0) && *a == *b) {
        ++a;
        ++b;
      }
      if (*a != SOCHAR(0)) continue;  // mismatch or longer than the row
      if (*b == SOCHAR(0)) {
        *index = row;
        return ERR_NONE;
      }
      abbreviated = row;
      ++abbreviations;
    }
    if (abbreviations == 1) {
      *index = abbreviated;
      return ERR_NONE;
    }
    return abbreviations == 0 ? ERR_UNKNOWN : ERR_AMBIGUOUS;
  }

  // Moves words [start, start + count) behind every other word, keeping their order
  // and that of the words set aside before them, and stops considering them.
  void SetAside(int start, int count) {
    if (count <= 0) return;
    std::rotate(argv_ + start, argv_ + start + count, argv_ + argc_);
    last_ -= count;
  }

  void ClearCurrent() {
    error_ = ERR_NONE;
    id_ = -1;
    text_ = nullptr;
    arg_ = nullptr;
  }

  const SOption* options_ = nullptr;
  int flags_ = 0;
  int error_ = ERR_NONE;
  int id_ = -1;
  const SOCHAR* text_ = nullptr;
  SOCHAR* arg_ = nullptr;
  int next_ = 0;
  int argc_ = 0;
  int last_ = 0;
  SOCHAR** argv_ = nullptr;
};

typedef CSimpleOptTempl<char> CSimpleOpt;
