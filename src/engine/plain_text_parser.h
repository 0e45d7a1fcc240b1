// One keyword definition: which part of the current input lines becomes a named
// value (%text3%) and how that value is filtered. A task owns its definitions by
// value, in the order of their `text%i` keys, and evaluates all of them on every
// recomputation.
//
// Also home of the value filters that keyword values and XML values share, so the
// filter order (accents, quotes, upper case, replace list, trim) exists once.
//
// Threads: a definition is touched only by the thread that runs its task (the main
// thread); no locking. The filter functions are pure and may run anywhere.
#ifndef QUILLRADE_ENGINE_PLAIN_TEXT_PARSER_H_
#define QUILLRADE_ENGINE_PLAIN_TEXT_PARSER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "util/charset_text.h"
#include "util/text_util.h"

// The four value filter switches of a keyword or of an XML task.
struct ValueFilters {
  bool bTrim = false;
  bool bUppercase = false;
  bool bFilterAccents = false;
  bool bFilterQuotes = false;
};

// The character filters, in their fixed order: accents (by character for a
// value in `charset`, see FilterAccentsIn), double quotes removed, ASCII upper
// case.
void ApplyCharacterFilters(std::string& value, const ValueFilters& filters, TextCharset charset);

// The whole value filter chain, in its fixed order: the character filters, then
// every item of `replaceList` (ApplyReplaceItem), then trimming of spaces.
void ApplyValueFilters(std::string& value, const ValueFilters& filters,
                       const std::vector<SearchReplaceItem>& replaceList, TextCharset charset);

class CPlainTextParser {
 public:
  // A front cut (begin / rbegin) keeps at most this many bytes after the match, so
  // a long pushed text or a join of many lines cannot make a huge value.
  static constexpr size_t kMaxFrontCutBytes = 999;

  CPlainTextParser() = default;
  virtual ~CPlainTextParser() = default;
  CPlainTextParser(const CPlainTextParser&) = default;
  CPlainTextParser& operator=(const CPlainTextParser&) = default;
  CPlainTextParser(CPlainTextParser&&) = default;
  CPlainTextParser& operator=(CPlainTextParser&&) = default;

  // Fills the definition from a key name ("text3") and its option text, a
  // parameter list such as: find=Artist line=1 begin=": " trim=1
  // The flags are on only with a non-zero number (a bare "trim" leaves it off).
  void DefineKeyword(const std::string& name, const std::string& options);

  // Recomputes the value from `lines`: line selection (a negative line joins all
  // lines with "[CR]"), find plus line offset, front cut, back cut, character
  // filters. Anything not found leaves the value empty. Searches are
  // case-sensitive. The lines are in set `charset`.
  void EvaluateKeyword(const std::vector<std::string>& lines, TextCharset charset);

  // Applies the trim option; run after the value replace list.
  void FinishKeyword();

  const std::string& Name() const { return strName; }
  // "%" + name + "%", the text a format string writes for this keyword.
  const std::string& Token() const { return strToken; }
  const std::string& Value() const { return strValue; }
  std::string& MutableValue() { return strValue; }

  int Line() const { return nLine; }
  const std::string& Find() const { return strFind; }
  const std::string& Begin() const { return strBegin; }
  const std::string& End() const { return strEnd; }
  const std::string& RBegin() const { return strRBegin; }

 private:
  // Step 2 of the evaluation; false when no working text exists.
  bool SelectText(const std::vector<std::string>& lines, std::string* text) const;
  // Steps 3 and 4; false when a configured marker is not found.
  bool CutFront(std::string* text) const;
  bool CutBack(std::string* text) const;

  std::string strName;
  std::string strToken;
  std::string strValue;  // last computed value; empty until evaluated
  int nLine = 0;
  ValueFilters filters;
  std::string strFind;
  std::string strBegin;
  std::string strEnd;
  std::string strRBegin;
  std::string strREnd;
};

#endif  // QUILLRADE_ENGINE_PLAIN_TEXT_PARSER_H_
