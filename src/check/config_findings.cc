#include "check/config_findings.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <iterator>

#include "config/config_schema.h"
#include "platform/file_system.h"
#include "status/status_channel_settings.h"
#include "util/charset_text.h"
#include "util/parameter_list.h"
#include "util/text_util.h"

namespace {

// A near miss differs from the known name by at most this many edits.
constexpr size_t kMaxSuggestionEdits = 2;
// A shorter access token is warned about: few enough to try them all.
constexpr size_t kShortestGoodToken = 16;

constexpr std::string_view kTypeKey = SchemaKey(ConfigSection::kInput, "type").strName;
constexpr std::string_view kCharsetKey = SchemaKey(ConfigSection::kInput, "charset").strName;
static_assert(kCharsetKey == SchemaKey(ConfigSection::kOutput, "charset").strName);

unsigned InputKindOf(const CTask& task) {
  switch (task.nInputType) {
    case kInputXml:
      return kXmlInputs;
    case kInputPush:
      return kPushInputs;
    default:
      return kPlainTextInputs;
  }
}

// The section kind a (misspelt) section name was meant to be.
ConfigSection SectionKindOf(std::string_view name) {
  if (ConfigPairNumber(name, ConfigSection::kInput) >= 0) return ConfigSection::kInput;
  if (ConfigPairNumber(name, ConfigSection::kOutput) >= 0) return ConfigSection::kOutput;
  return ConfigSection::kGlobal;
}

// The input keys an input of `kind` does not read that a user would expect it
// to, with the reason: a keyword on an XML input, an XML filter elsewhere. The
// others it does not read pass (a file of a push input, ignored as harmless; a
// charset of an XML input, which has a warning of its own).
std::map<std::string, std::string> MisplacedInputKeys(unsigned kind) {
  std::map<std::string, std::string> misplaced;
  for (const ConfigKey& key : kConfigKeys) {
    if (key.section != ConfigSection::kInput || (key.nReadBy & kind) != 0) continue;
    const char* why = nullptr;
    if (key.nReadBy == kXmlInputs) {
      why = "only XML inputs (type=xml) read it";
    } else if (kind == kXmlInputs && key.type == ConfigValueType::kKeywordOptions) {
      why = "XML inputs have no textN keywords; use %xml_...% in the formats";
    }
    if (why == nullptr) continue;
    if (key.nCount == 0) misplaced[ToLowerAscii(key.strName)] = why;
    for (int i = 0; i < key.nCount; ++i) misplaced[ToLowerAscii(NumberedKeyName(key, i))] = why;
  }
  return misplaced;
}

// Every input key but the misplaced ones, in schema order.
std::vector<std::string> InputKeysOf(const std::map<std::string, std::string>& misplaced) {
  std::vector<std::string> keys;
  for (std::string& key : ConfigKeyNames(ConfigSection::kInput, kEveryInput)) {
    if (misplaced.count(ToLowerAscii(key)) == 0) keys.push_back(std::move(key));
  }
  return keys;
}

// Edits (insert, delete, change, swap of neighbours) between two lower-case texts.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::string DidYouMean(std::string_view name, const std::vector<std::string>& candidates,
                       const char* open, const char* close) {
  const std::string nearest = NearestName(name, candidates);
  if (nearest.empty()) return "";
  return StringPrintf("; did you mean %s%s%s?", open, nearest.c_str(), close);
}

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

// Where an item was last set: its winning line.
int LastLine(const CVirtualPreset_item& item) {
  return item.Lines().empty() ? 0 : item.Lines().back();
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

// "%format3%"-like tokens of a URL template: "%format", digits, "%".
std::vector<std::string> FormatTokens(const std::string& url) {
  static constexpr std::string_view kFormatWord = "%format";
  std::vector<std::string> tokens;
  for (size_t start = url.find(kFormatWord); start != std::string::npos;
       start = url.find(kFormatWord, start + 1)) {
    size_t end = start + kFormatWord.size();
    while (end < url.size() && url[end] >= '0' && url[end] <= '9') ++end;
    if (end == start + kFormatWord.size() || end >= url.size() || url[end] != '%') continue;
    tokens.push_back(url.substr(start, end + 1 - start));
  }
  return tokens;
}

// "Input05" -> "Input5": the service formats numbers without leading zeros, so
// that is what such a name was meant to be.
std::string WithoutLeadingZeros(std::string_view name) {
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  size_t first = digits;
  while (first + 1 < name.size() && name[first] == '0') ++first;
  return std::string(name.substr(0, digits)) + std::string(name.substr(first));
}

}  // namespace

std::string NearestName(std::string_view name, const std::vector<std::string>& candidates) {
  const std::string folded = ToLowerAscii(WithoutLeadingZeros(name));
  std::string best;
  size_t bestEdits = kMaxSuggestionEdits + 1;
  for (const std::string& candidate : candidates) {
    const size_t edits = EditDistance(folded, ToLowerAscii(candidate));
    // A name of one or two letters is "near" everything short; it gets no guess.
    if (edits < bestEdits && edits < folded.size()) {
      best = candidate;
      bestEdits = edits;
    }
  }
  return best;
}

CConfigFindings::CConfigFindings(const CVirtualPreset_file& preset,
                                 const std::vector<std::unique_ptr<CTask>>& tasks)
    : preset(preset), tasks(tasks) {}

std::vector<ConfigFinding> CConfigFindings::Collect() {
  findings.clear();
  for (const auto& section : preset.Sections()) CheckSection(*section);
  CheckAccessToken();
  for (const auto& detached : preset.DetachedSections()) {
    Add(FindingSeverity::kError, detached->Line(),
        "section header without a closing \"]\": the lines up to the next header are ignored");
  }
  CheckSkippedBytes();
  std::stable_sort(findings.begin(), findings.end(),
                   [](const ConfigFinding& a, const ConfigFinding& b) {
                     const int left = a.nLine == 0 ? INT_MAX : a.nLine;
                     const int right = b.nLine == 0 ? INT_MAX : b.nLine;
                     return left < right;
                   });
  return findings;
}

void CConfigFindings::CheckSkippedBytes() {
  for (const int line : preset.NulLines()) {
    Add(FindingSeverity::kError, line, "NUL byte: the rest of this line is ignored");
  }
  for (const PresetLongLine& line : preset.LongLines()) {
    Add(FindingSeverity::kError, line.nLine,
        StringPrintf(
            "line of %" PRIu64 " bytes: longer than %" PRIu64 ", it is read as %" PRIu64 " lines",
            static_cast<uint64_t>(line.nBytes), static_cast<uint64_t>(kMaxPresetLineBytes),
            static_cast<uint64_t>((line.nBytes + kMaxPresetLineBytes - 1) / kMaxPresetLineBytes)));
  }
}

void CConfigFindings::CheckSection(const CVirtualPreset_section& section) {
  CheckNestedSections(section);
  const std::string& name = section.Name();
  const int input = ConfigPairNumber(name, ConfigSection::kInput);
  const int output = ConfigPairNumber(name, ConfigSection::kOutput);
  if (name.empty()) {
    CheckUnnamedSection(section);
  } else if (EqualsIgnoringAsciiCase(name, kGlobalSection)) {
    CheckKeys(section, ConfigKeyNames(ConfigSection::kGlobal, kEveryInput), {});
    CheckRepeatedKeys(section);
    CheckStatusChannelKeys(section);
  } else if (input >= 0) {
    CheckInputSection(section, input);
  } else if (output >= 0) {
    CheckOutputSection(section, output);
  } else {
    CheckMisspeltSection(section);
  }
}

// The keys are checked against the section the name was meant to be, so one run
// shows the fixes of both.
void CConfigFindings::CheckMisspeltSection(const CVirtualPreset_section& section) {
  const std::string& name = section.Name();
  const std::string meant = NearestName(name, ConfigSectionNames());
  Add(FindingSeverity::kError, section.Line(),
      StringPrintf("unknown section [%s]%s", name.c_str(),
                   DidYouMean(name, ConfigSectionNames(), "[", "]").c_str()));
  if (meant.empty()) return;
  CheckKeys(section, ConfigKeyNames(SectionKindOf(meant), kEveryInput), {});
}

void CConfigFindings::CheckStatusChannelKeys(const CVirtualPreset_section& global) {
  std::string problem = StatusChannelSettingsFrom(preset).strProblem;
  if (problem.empty()) return;
  if (problem.back() == '\n') problem.pop_back();
  Add(FindingSeverity::kWarning,
      LastLine(
          *global.FindItem(SchemaKey(ConfigSection::kGlobal, "status_listen_address").strName)),
      problem);
}

void CConfigFindings::CheckAccessToken() {
  const StatusChannelSettings settings = StatusChannelSettingsFrom(preset);
  const CVirtualPreset_section* global = preset.FindSection(kGlobalSection);
  const auto lineOf = [global](std::string_view key) {
    const CVirtualPreset_item* item = global == nullptr ? nullptr : global->FindItem(key);
    return item == nullptr ? 0 : LastLine(*item);
  };
  const std::string& address = settings.strListenAddress;
  if (settings.strAccessToken.empty()) {
    if (address.starts_with("127.")) return;
    Add(FindingSeverity::kWarning,
        lineOf(SchemaKey(ConfigSection::kGlobal, "status_listen_address").strName),
        StringPrintf("the status channels listen on %s without an access_token: whoever "
                     "reaches them can push values and read every status text",
                     address.empty() ? "every interface" : address.c_str()));
    return;
  }
  const int line = lineOf(SchemaKey(ConfigSection::kGlobal, "access_token").strName);
  if (settings.strAccessToken.size() < kShortestGoodToken) {
    Add(FindingSeverity::kWarning, line,
        StringPrintf("access_token is shorter than %d characters: easy to guess",
                     static_cast<int>(kShortestGoodToken)));
  }
  if (IsReadableByEveryone(preset.FullPath())) {
    Add(FindingSeverity::kWarning, line,
        "access_token is in a file every user of this machine may read: take their read "
        "permission away (chmod o-r)");
  }
}

void CConfigFindings::CheckInputSection(const CVirtualPreset_section& section, int number) {
  CheckRepeatedKeys(section);
  const CTask* task = TaskOfPair(number);
  const std::string outputName = ConfigSectionName(ConfigSection::kOutput, number);
  if (task == nullptr) {
    Add(FindingSeverity::kError, section.Line(),
        StringPrintf("[%s] makes no task: it has no file= and is not type=push, so nothing "
                     "else in it is read",
                     section.Name().c_str()));
    CheckKeys(section, ConfigKeyNames(ConfigSection::kInput, kEveryInput), {});
    return;
  }
  if (preset.FindSection(outputName) == nullptr) {
    Add(FindingSeverity::kError, section.Line(),
        StringPrintf("input [%s] has no output: there is no [%s], so the task sends nothing",
                     section.Name().c_str(), outputName.c_str()));
  }
  const std::map<std::string, std::string> misplaced = MisplacedInputKeys(InputKindOf(*task));
  CheckKeys(section, InputKeysOf(misplaced), misplaced);
  const std::string type = preset.GetString(section.FindItem(kTypeKey), "");
  if (!type.empty() && type != "xml" && type != "push") {
    Add(FindingSeverity::kWarning, LastLine(*section.FindItem(kTypeKey)),
        StringPrintf("type=%s is neither xml nor push (exact lower case): read as plain text",
                     type.c_str()));
  }
  CheckInputFile(*task, section);
  CheckKeywordOptions(*task, section);
  CheckInputCharset(*task, section);
}

void CConfigFindings::CheckOutputSection(const CVirtualPreset_section& section, int number) {
  CheckRepeatedKeys(section);
  CheckKeys(section, ConfigKeyNames(ConfigSection::kOutput, kEveryInput), {});
  const CTask* task = TaskOfPair(number);
  if (task == nullptr) {
    Add(FindingSeverity::kError, section.Line(),
        StringPrintf("output [%s] has no input: [Input%i] is missing or makes no task, so "
                     "nothing in [%s] is read",
                     section.Name().c_str(), number, section.Name().c_str()));
    return;
  }
  CheckUrls(*task, section);
  CheckUnusedFormats(*task, section);
  CheckCharsetName(section, "results are sent as the values' bytes");
  CheckCharsetMix(*task, section);
}

void CConfigFindings::CheckUnnamedSection(const CVirtualPreset_section& section) {
  for (const auto& item : section.Items()) {
    if (item->Key() == ";" || (item->Key().empty() && IsBlank(item->Text()))) continue;
    Add(FindingSeverity::kError, LastLine(*item),
        "line before the first section header: nothing reads it");
  }
}

void CConfigFindings::CheckKeys(const CVirtualPreset_section& section,
                                const std::vector<std::string>& known,
                                const std::map<std::string, std::string>& misplaced) {
  for (const auto& item : section.Items()) {
    const std::string& key = item->Key();
    if (key == ";") continue;
    const int line = item->Lines().empty() ? 0 : item->Lines().front();
    if (key.empty()) {
      if (IsBlank(item->Text())) continue;
      Add(FindingSeverity::kError, line,
          StringPrintf("line without \"=\" in [%s]: ignored", section.Name().c_str()));
      continue;
    }
    const std::string folded = ToLowerAscii(key);
    const bool isKnown = std::any_of(known.begin(), known.end(), [&](const std::string& name) {
      return EqualsIgnoringAsciiCase(name, key);
    });
    if (isKnown) continue;
    const auto why = misplaced.find(folded);
    if (why != misplaced.end()) {
      Add(FindingSeverity::kError, line,
          StringPrintf("key \"%s\" in [%s] is not read: %s", key.c_str(), section.Name().c_str(),
                       why->second.c_str()));
      continue;
    }
    Add(FindingSeverity::kError, line,
        StringPrintf("unknown key \"%s\" in [%s]%s", key.c_str(), section.Name().c_str(),
                     DidYouMean(key, known, "\"", "\"").c_str()));
  }
}

void CConfigFindings::CheckRepeatedKeys(const CVirtualPreset_section& section) {
  for (const auto& item : section.Items()) {
    const std::vector<int>& lines = item->Lines();
    if (item->Key() == ";" || item->Key().empty() || lines.size() < 2) continue;
    std::string earlier;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      earlier += StringPrintf("%s%i", i == 0 ? "" : ", ", lines[i]);
    }
    const char* empty = item->Text().empty() ? " (empty, so the key reads as absent)" : "";
    Add(FindingSeverity::kWarning, lines.back(),
        StringPrintf("key \"%s\" in [%s] is set again (also on line %s): this last value wins%s",
                     item->Key().c_str(), section.Name().c_str(), earlier.c_str(), empty));
  }
}

void CConfigFindings::CheckNestedSections(const CVirtualPreset_section& section) {
  for (const auto& nested : section.Sections()) {
    Add(FindingSeverity::kError, nested->Line(),
        StringPrintf("section [%s] is nested in [%s] (a header like [%s][%s]): nothing reads it",
                     nested->Name().c_str(), section.Name().c_str(), section.Name().c_str(),
                     nested->Name().c_str()));
    CheckNestedSections(*nested);
  }
}

void CConfigFindings::CheckInputFile(const CTask& task, const CVirtualPreset_section& input) {
  if (task.nInputType == kInputPush) return;
  const std::string path = GetAbsolutePath(task.strInputPath);
  if (FileExists(path)) return;
  Add(FindingSeverity::kWarning,
      LastLine(*input.FindItem(SchemaKey(ConfigSection::kInput, "file").strName)),
      StringPrintf("input file \"%s\" does not exist (yet): the task waits for it", path.c_str()));
}

void CConfigFindings::CheckKeywordOptions(const CTask& task, const CVirtualPreset_section& input) {
  const std::vector<std::string> known(std::begin(kKeywordOptionNames),
                                       std::end(kKeywordOptionNames));
  for (const CPlainTextParser& keyword : task.keywords) {
    const CVirtualPreset_item* item = input.FindItem(keyword.Name());
    if (item == nullptr) continue;
    for (const std::string& option : ParameterNames(item->Text())) {
      const bool isKnown = std::any_of(known.begin(), known.end(), [&](const std::string& name) {
        return EqualsIgnoringAsciiCase(name, option);
      });
      if (isKnown) continue;
      Add(FindingSeverity::kWarning, LastLine(*item),
          StringPrintf("unknown option \"%s\" in %s: ignored%s", option.c_str(),
                       keyword.Name().c_str(), DidYouMean(option, known, "\"", "\"").c_str()));
    }
  }
}

void CConfigFindings::CheckUrls(const CTask& task, const CVirtualPreset_section& output) {
  const ConfigKey& urlKey = SchemaKey(ConfigSection::kOutput, "Url");
  for (int i = 0; i < urlKey.nCount; ++i) {
    const std::string key = NumberedKeyName(urlKey, i);
    const CVirtualPreset_item* item = output.FindItem(key);
    std::string url = preset.GetString(item, "");
    if (url.empty()) continue;
    const int line = LastLine(*item);
    if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) {
      Add(FindingSeverity::kError, line,
          StringPrintf("%s does not start with http:// or https://", key.c_str()));
    }
    for (const std::string& token : FindOutputReferenceTokens(url)) {
      const bool bound = std::any_of(
          task.OutputReferences().begin(), task.OutputReferences().end(),
          [&](const OutputReference& reference) { return reference.strToken == token; });
      if (bound) continue;
      Add(FindingSeverity::kError, line,
          StringPrintf("%s refers to %s, which names no format of a task: sent as written",
                       key.c_str(), token.c_str()));
    }
    for (const std::string& token : FormatTokens(url)) {
      const bool defined = std::any_of(
          task.formatItems.begin(), task.formatItems.end(),
          [&](const FormatItem& format) { return "%" + format.strName + "%" == token; });
      if (defined) continue;
      Add(FindingSeverity::kWarning, line,
          StringPrintf("%s uses %s, but [%s] has no such format: sent as written", key.c_str(),
                       token.c_str(), output.Name().c_str()));
    }
  }
}

void CConfigFindings::CheckUnusedFormats(const CTask& task, const CVirtualPreset_section& output) {
  for (const FormatItem& format : task.formatItems) {
    if (FormatUsed(task, format)) continue;
    const CVirtualPreset_item* item = output.FindItem(format.strName);
    Add(FindingSeverity::kWarning, item == nullptr ? 0 : LastLine(*item),
        StringPrintf("%s of [%s] is used in no URL", format.strName.c_str(),
                     output.Name().c_str()));
  }
}

bool CConfigFindings::FormatUsed(const CTask& task, const FormatItem& format) const {
  const std::string token = "%" + format.strName + "%";
  for (const std::string& url : task.vecUrls) {
    if (url.find(token) != std::string::npos) return true;
  }
  for (const auto& other : tasks) {
    for (const OutputReference& reference : other->OutputReferences()) {
      if (reference.pFormat == &format) return true;
    }
  }
  return false;
}

void CConfigFindings::CheckCharsetName(const CVirtualPreset_section& section,
                                       const char* fallback) {
  const CVirtualPreset_item* item = section.FindItem(kCharsetKey);
  const std::string name = preset.GetString(item, "");
  if (name.empty() || CharsetFromName(name) || EqualsIgnoringAsciiCase(name, "auto")) return;
  Add(FindingSeverity::kWarning, LastLine(*item),
      StringPrintf("charset=%s in [%s] names no known set (utf-8, windows-1252, iso-8859-1, "
                   "iso-8859-15, windows-1250, auto): %s",
                   name.c_str(), section.Name().c_str(), fallback));
}

void CConfigFindings::CheckInputCharset(const CTask& task, const CVirtualPreset_section& input) {
  if (task.nInputType != kInputXml) {
    CheckCharsetName(input, "read as auto");
    return;
  }
  const CVirtualPreset_item* item = input.FindItem(kCharsetKey);
  if (preset.GetString(item, "").empty()) return;
  Add(FindingSeverity::kWarning, LastLine(*item),
      StringPrintf("charset in [%s] is not read: an XML input's values are UTF-8, decoded "
                   "from the document's own declaration",
                   input.Name().c_str()));
}

// Without a charset the bytes go out as they are, so UTF-8 and single-byte
// accents side by side are wrong for every target; ASCII is the same in both.
void CConfigFindings::CheckCharsetMix(const CTask& task, const CVirtualPreset_section& output) {
  if (task.outputCharset) return;
  std::string utf8;
  std::string singleByte;
  auto note = [&](const CTask& source, const FormatItem& format) {
    if (IsAscii(format.strResult)) return;
    std::string& names = source.valueCharset == TextCharset::kUtf8 ? utf8 : singleByte;
    names += StringPrintf("%s%s %s (%s)", names.empty() ? "" : ", ", source.strLabel.c_str(),
                          format.strName.c_str(), CharsetName(source.valueCharset));
  };
  for (const FormatItem& format : task.formatItems) {
    const std::string token = "%" + format.strName + "%";
    for (const std::string& url : task.vecUrls) {
      if (url.find(token) != std::string::npos) {
        note(task, format);
        break;
      }
    }
  }
  for (const OutputReference& reference : task.OutputReferences()) {
    note(*reference.pTask, *reference.pFormat);
  }
  if (utf8.empty() || singleByte.empty()) return;
  Add(FindingSeverity::kWarning, output.Line(),
      StringPrintf("[%s] has no charset but its URLs mix UTF-8 values (%s) with single-byte "
                   "values (%s): one kind reaches the target wrong; set charset=",
                   output.Name().c_str(), utf8.c_str(), singleByte.c_str()));
}

const CTask* CConfigFindings::TaskOfPair(int number) const {
  const std::string label = ToLowerAscii(ConfigSectionName(ConfigSection::kOutput, number));
  for (const auto& task : tasks) {
    if (task->strLabel == label) return task.get();
  }
  return nullptr;
}

void CConfigFindings::Add(FindingSeverity severity, int line, std::string message) {
  findings.push_back(ConfigFinding{severity, line, std::move(message)});
}
