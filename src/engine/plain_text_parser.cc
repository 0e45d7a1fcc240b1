#include "engine/plain_text_parser.h"

#include <cstdint>

#include "config/config_schema.h"
#include "util/parameter_list.h"

namespace {

// Joins lines with the marker that also stands for line breaks inside values.
std::string JoinLines(const std::vector<std::string>& lines) {
  std::string joined;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) joined += "[CR]";
    joined += lines[i];
  }
  return joined;
}

bool IsOn(const std::string& options, std::string_view name) {
  return GetParameterInt(options, name, 0) != 0;
}

}  // namespace

void ApplyCharacterFilters(std::string& value, const ValueFilters& filters, TextCharset charset) {
  if (filters.bFilterAccents) value = FilterAccentsIn(value, charset);
  if (filters.bFilterQuotes) ReplaceAll(value, "\"", "");
  if (filters.bUppercase) value = ToUpperAscii(value);
}

void ApplyValueFilters(std::string& value, const ValueFilters& filters,
                       const std::vector<SearchReplaceItem>& replaceList, TextCharset charset) {
  ApplyCharacterFilters(value, filters, charset);
  ApplyReplaceItems(value, replaceList);
  if (filters.bTrim) TrimSpaces(value);
}

void CPlainTextParser::DefineKeyword(const std::string& name, const std::string& options) {
  strName = name;
  strToken = StringPrintf("%%%s%%", name.c_str());
  strValue.clear();
  filters.bTrim = IsOn(options, KeywordOption("trim"));
  filters.bUppercase = IsOn(options, KeywordOption("uppercase"));
  filters.bFilterAccents = IsOn(options, KeywordOption("filter_accents"));
  filters.bFilterQuotes = IsOn(options, KeywordOption("filter_quotes"));
  nLine = GetParameterInt(options, KeywordOption("line"), 0);
  strFind = GetParameterText(options, KeywordOption("find"));
  strBegin = GetParameterText(options, KeywordOption("begin"));
  strEnd = GetParameterText(options, KeywordOption("end"));
  strRBegin = GetParameterText(options, KeywordOption("rbegin"));
  strREnd = GetParameterText(options, KeywordOption("rend"));
}

void CPlainTextParser::EvaluateKeyword(const std::vector<std::string>& lines, TextCharset charset) {
  strValue.clear();
  std::string text;
  if (!SelectText(lines, &text) || !CutFront(&text) || !CutBack(&text)) return;
  ApplyCharacterFilters(text, filters, charset);
  strValue = std::move(text);
}

void CPlainTextParser::FinishKeyword() {
  if (filters.bTrim) TrimSpaces(strValue);
}

bool CPlainTextParser::SelectText(const std::vector<std::string>& lines, std::string* text) const {
  if (nLine < 0) {
    *text = JoinLines(lines);
    return true;
  }
  // 64 bits: a found line number plus a large offset must not overflow.
  int64_t index = nLine;
  if (!strFind.empty()) {
    size_t found = 0;
    while (found < lines.size() && lines[found].find(strFind) == std::string::npos) ++found;
    if (found == lines.size()) return false;
    index += static_cast<int64_t>(found);
  }
  if (index >= static_cast<int64_t>(lines.size())) return false;
  *text = lines[static_cast<size_t>(index)];
  return true;
}

bool CPlainTextParser::CutFront(std::string* text) const {
  size_t cut = 0;
  if (!strBegin.empty()) {
    const size_t at = text->find(strBegin);
    if (at == std::string::npos) return false;
    cut = at + strBegin.size();
  } else if (!strRBegin.empty()) {
    const size_t at = text->rfind(strRBegin);
    if (at == std::string::npos) return false;
    cut = at + strRBegin.size();
  } else {
    return true;
  }
  *text = text->substr(cut, kMaxFrontCutBytes);
  return true;
}

bool CPlainTextParser::CutBack(std::string* text) const {
  size_t at = std::string::npos;
  if (!strEnd.empty()) {
    at = text->find(strEnd);
  } else if (!strREnd.empty()) {
    at = text->rfind(strREnd);
  } else {
    return true;
  }
  if (at == std::string::npos) return false;
  text->resize(at);
  return true;
}
