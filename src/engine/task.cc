#include "engine/task.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "config/config_schema.h"
#include "config/virtual_preset_file.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "status/log_output.h"
#include "util/time_format.h"

namespace {

// How many of the first replace list items are the built-in ones.
constexpr size_t kBuiltInItemCount = 5;

std::string ReadText(const CVirtualPreset_file& preset, const std::string& section,
                     std::string_view key) {
  return preset.GetString(preset.GetItem(section, key), "");
}

// Number `number` of the numbered `key`; empty past the key's range.
std::string ReadNumbered(const CVirtualPreset_file& preset, const std::string& section,
                         const ConfigKey& key, int number) {
  if (number >= key.nCount) return "";
  return ReadText(preset, section, NumberedKeyName(key, number));
}

// The set of a read's lines: one text, decided as a whole.
TextCharset LinesCharset(std::optional<TextCharset> configured,
                         const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return ResolveCharset(configured, text);
}

bool ReadFlag(const CVirtualPreset_file& preset, const std::string& section, const ConfigKey& key) {
  return preset.GetInt(preset.GetItem(section, key.strName), key.nDefault) != 0;
}

// On unless the global key holds a number that is 0; an empty value counts as
// absent, as for every other key.
bool RetryUnreachableTargets(const CVirtualPreset_file& preset) {
  const ConfigKey& key = SchemaKey(ConfigSection::kGlobal, "retry_unreachable_targets");
  const CVirtualPreset_item* item = preset.GetItem(kGlobalSection, key.strName);
  return preset.GetString(item, "").empty() || preset.GetInt(item, key.nDefault) != 0;
}

int InputTypeFromText(const std::string& type) {
  if (type == "xml") return kInputXml;
  if (type == "push") return kInputPush;
  return kInputPlainText;
}

const char* TypeLine(int inputType) {
  switch (inputType) {
    case kInputXml:
      return "Type: XML\n";
    case kInputPush:
      return "Type: HTTP Push\n";
    default:
      return "Type: Plain Text\n";
  }
}

}  // namespace

const char* InputTypeName(int inputType) {
  switch (inputType) {
    case kInputXml:
      return "xml";
    case kInputPush:
      return "push";
    default:
      return "plain_text";
  }
}

const std::vector<SearchReplaceItem>& BuiltInReplaceItems() {
  static const std::vector<SearchReplaceItem> items = {
      {"\r\n", "[CR]"}, {"\n\r", "[CR]"}, {"\n", "[CR]"}, {"\r", "[CR]"}, {"\t", "[TAB]"}};
  return items;
}

SearchReplaceItem ParseReplaceItem(const std::string& value) {
  const std::vector<std::string> pieces = SplitList(value, ',', true, true);
  SearchReplaceItem item;
  if (!pieces.empty()) item.strSearch = pieces[0];
  if (pieces.size() > 1) item.strReplace = pieces[1];
  return item;
}

CTask::CTask(IStatusPrinter& output) : output(output) {}

CTask::~CTask() = default;

void CTask::Setup(const CVirtualPreset_file& preset, const std::string& inputSection,
                  const std::string& outputSection) {
  strLabel = ToLowerAscii(outputSection);
  const CLogTaskScope scope(strLabel);
  output.Printf("--------------- TASK %i ----------------\n", nIndex);
  nInputType = InputTypeFromText(
      ReadText(preset, inputSection, SchemaKey(ConfigSection::kInput, "type").strName));
  bRetryUnreachable = RetryUnreachableTargets(preset);
  ReadInputDescription(inputSection);
  output.Printf("%s", TypeLine(nInputType));
  ReadKeywordsOrXmlFlags(preset, inputSection);
  ReadCharsets(preset, inputSection, outputSection);
  valueReplaceList = BuiltInReplaceItems();
  urlReplaceList = valueReplaceList;
  ReadNumberedItems(preset, inputSection, outputSection);
  PrintSummaryCounts();
  status->Describe({nIndex, strLabel, InputTypeName(nInputType),
                    nInputType == kInputPush ? std::string() : strInputPath, strPushPath});
}

void CTask::ReadInputDescription(const std::string& inputSection) {
  if (nInputType == kInputPush) {
    strPushPath = "/" + ToLowerAscii(inputSection);
    if (pServer != nullptr) pServer->RegisterPushTarget(this);
    const int port = pServer != nullptr ? pServer->HttpPort() : 0;
    output.Printf("Input is HTTP server http://127.0.0.1:%i%s?set=data\n", port,
                  strPushPath.c_str());
    return;
  }
  const std::string absolutePath = GetAbsolutePath(strInputPath);
  output.Printf("Input File: %s\n", absolutePath.c_str());
  if (!FileExists(absolutePath)) output.Printf("ERROR: THIS FILE DOES NOT EXIST\n");
}

void CTask::ReadKeywordsOrXmlFlags(const CVirtualPreset_file& preset,
                                   const std::string& inputSection) {
  if (nInputType == kInputXml) {
    bXmlTrim = ReadFlag(preset, inputSection, SchemaKey(ConfigSection::kInput, "trim"));
    bXmlUppercase = ReadFlag(preset, inputSection, SchemaKey(ConfigSection::kInput, "uppercase"));
    bXmlFilterAccents =
        ReadFlag(preset, inputSection, SchemaKey(ConfigSection::kInput, "filter_accents"));
    bXmlFilterQuotes =
        ReadFlag(preset, inputSection, SchemaKey(ConfigSection::kInput, "filter_quotes"));
    return;
  }
  const ConfigKey& text = SchemaKey(ConfigSection::kInput, "text");
  for (int i = 0; i < text.nCount; ++i) {
    const std::string name = NumberedKeyName(text, i);
    const std::string options = ReadText(preset, inputSection, name);
    if (options.empty()) continue;
    keywords.emplace_back();
    keywords.back().DefineKeyword(name, options);
  }
}

void CTask::ReadCharsets(const CVirtualPreset_file& preset, const std::string& inputSection,
                         const std::string& outputSection) {
  if (nInputType == kInputXml) {
    valueCharset = TextCharset::kUtf8;
  } else {
    inputCharset = CharsetFromName(
        ReadText(preset, inputSection, SchemaKey(ConfigSection::kInput, "charset").strName));
  }
  outputCharset = CharsetFromName(
      ReadText(preset, outputSection, SchemaKey(ConfigSection::kOutput, "charset").strName));
}

void CTask::ReadNumberedItems(const CVirtualPreset_file& preset, const std::string& inputSection,
                              const std::string& outputSection) {
  const ConfigKey& inputReplaceKey = SchemaKey(ConfigSection::kInput, "Replace");
  const ConfigKey& outputReplaceKey = SchemaKey(ConfigSection::kOutput, "Replace");
  const ConfigKey& urlKey = SchemaKey(ConfigSection::kOutput, "Url");
  const ConfigKey& formatKey = SchemaKey(ConfigSection::kOutput, "format");
  // One pass over the numbers keeps each list in number order.
  const int count =
      std::max({inputReplaceKey.nCount, outputReplaceKey.nCount, urlKey.nCount, formatKey.nCount});
  for (int i = 0; i < count; ++i) {
    const std::string inputReplace = ReadNumbered(preset, inputSection, inputReplaceKey, i);
    if (!inputReplace.empty()) valueReplaceList.push_back(ParseReplaceItem(inputReplace));
    const std::string outputReplace = ReadNumbered(preset, outputSection, outputReplaceKey, i);
    if (!outputReplace.empty()) urlReplaceList.push_back(ParseReplaceItem(outputReplace));
    const std::string url = ReadNumbered(preset, outputSection, urlKey, i);
    if (!url.empty()) vecUrls.push_back(url);
    std::string formatText = ReadNumbered(preset, outputSection, formatKey, i);
    if (formatText.empty()) continue;
    ReplaceAll(formatText, "\"", "");
    formatItems.push_back(FormatItem{NumberedKeyName(formatKey, i), formatText, ""});
  }
}

void CTask::PrintSummaryCounts() const {
  const size_t configured = valueReplaceList.size() - kBuiltInItemCount;
  output.Printf("Search-and-replace items: %i\n", static_cast<int>(configured));
  for (size_t i = 0; i < configured; ++i) {
    const SearchReplaceItem& item = valueReplaceList[kBuiltInItemCount + i];
    output.Printf("Item %i: \"%s\" -> \"%s\"\n", static_cast<int>(i), item.strSearch.c_str(),
                  item.strReplace.c_str());
  }
  output.Printf("\n");
  output.Printf("Format strings: %i\n", static_cast<int>(formatItems.size()));
  output.Printf("URLs: %i\n", static_cast<int>(vecUrls.size()));
}

void CTask::ParsePlainText(CTextFileReader& file) {
  std::vector<std::string> lines;
  char buffer[kPlainTextBufferBytes];
  while (lines.size() < kMaxPlainTextLines) {
    buffer[0] = 0;
    // Only a read that returns nothing ends the lines: a last line without a line
    // feed (a file written without a final newline) is a line like any other.
    // The reader already turns a CR LF pair into one LF, so strlen counts it once.
    if (!file.ReadLine(buffer, sizeof(buffer))) {
      // A failed read is no end of file: what was read is not the file's text.
      if (!file.ReadError().ok()) return;
      break;
    }
    if (strlen(buffer) > kMaxPlainTextLineBytes) return;
    CutAtLineEnd(buffer);
    lines.emplace_back(buffer);
  }
  if (lines == previousLines) return;
  previousLines = lines;
  valueCharset = file.HasUnicodeMark() ? TextCharset::kUtf8 : LinesCharset(inputCharset, lines);
  char timestamp[kTimestampBufferSize];
  FormatLocalTimestamp(timestamp, sizeof(timestamp));
  output.Printf("\n%s: TASK %i (plain text parsing)\n\n", timestamp, nIndex);
  Recompute(previousLines);
  PublishValues();
  for (const FormatItem& item : formatItems) {
    output.Printf("[%s] %s: %s\n", strLabel.c_str(), item.strName.c_str(), item.strResult.c_str());
  }
}

void CTask::Recompute(const std::vector<std::string>& lines) {
  for (CPlainTextParser& keyword : keywords) {
    keyword.EvaluateKeyword(lines, valueCharset);
    if (keyword.Value().empty()) continue;
    ApplyReplaceItems(keyword.MutableValue(), valueReplaceList);
    keyword.FinishKeyword();
  }
  ComposeFormats();
}

void CTask::ComposeFormats() {
  for (FormatItem& item : formatItems) {
    item.strResult = item.strTemplate;
    for (const CPlainTextParser& keyword : keywords) {
      ReplaceAll(item.strResult, keyword.Token(), keyword.Value());
    }
  }
}

void CTask::PublishValues() {
  std::vector<std::pair<std::string, std::string>> values;
  values.reserve(keywords.size() + formatItems.size());
  // The pages show characters, whatever set the values are sent in.
  for (const CPlainTextParser& keyword : keywords)
    values.emplace_back(keyword.Name(), TextToUtf8(keyword.Value(), valueCharset));
  for (const FormatItem& item : formatItems)
    values.emplace_back(item.strName, TextToUtf8(item.strResult, valueCharset));
  status->CountInputChange();
  status->PublishValues(std::move(values), GetUnixTime());
}

void CTask::ApplyXmlValueFilters(std::string& value) const {
  ValueFilters filters;
  filters.bTrim = bXmlTrim;
  filters.bUppercase = bXmlUppercase;
  filters.bFilterAccents = bXmlFilterAccents;
  filters.bFilterQuotes = bXmlFilterQuotes;
  ApplyValueFilters(value, filters, valueReplaceList, TextCharset::kUtf8);
}
