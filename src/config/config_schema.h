// The configuration's schema: every section, every key (its numbered range,
// type, default and the input types that read it) and the options a keyword
// key takes, each written once, in kConfigKeys. Task setup, the status-channel
// settings, the check command's findings and the key table of
// docs/configuration.md all read it, so adding a key is one line there (and
// the code that reads the key).
//
// Code names a key through SchemaKey(section, "name"): a name the schema lacks
// does not compile, so a reader and the check cannot disagree about a key.
//
//   const ConfigKey& timeout = SchemaKey(ConfigSection::kGlobal, "http_timeout_seconds");
//   int seconds = preset.GetInt(preset.GetItem("global", timeout.strName), timeout.nDefault);
//
// Threads: constant data and pure functions; any thread.
#ifndef QUILLRADE_CONFIG_CONFIG_SCHEMA_H_
#define QUILLRADE_CONFIG_CONFIG_SCHEMA_H_

#include <string>
#include <string_view>
#include <vector>

enum class ConfigSection { kGlobal, kInput, kOutput };

// The name of the one ConfigSection::kGlobal section.
inline constexpr char kGlobalSection[] = "global";

// Input/Output section pairs: InputN with OutputN, N = 0 .. kConfigPairCount - 1.
inline constexpr int kConfigPairCount = 100;

// What a key's value is; the key table names it.
enum class ConfigValueType {
  kNumber,
  kFlag,  // a number, on when not 0
  kText,
  kPath,
  kInputType,
  kCharset,
  kKeywordOptions,
  kReplaceItem,
  kFormat,
  kUrl,
  kAddress,
  kList,
};

// The input types that read a key, as bits; a key of an output section is read
// for the task of its input.
inline constexpr unsigned kPlainTextInputs = 1;
inline constexpr unsigned kXmlInputs = 2;
inline constexpr unsigned kPushInputs = 4;
inline constexpr unsigned kEveryInput = kPlainTextInputs | kXmlInputs | kPushInputs;

struct ConfigKey {
  ConfigSection section;
  std::string_view strName;  // the whole name, or the stem of a numbered key ("text")
  int nCount;                // numbered keys: stem0 .. stem(nCount-1); 0 = not numbered
  ConfigValueType type;
  int nDefault;                 // number and flag keys: the value when absent
  std::string_view strDefault;  // other keys: what being absent means (empty: nothing)
  unsigned nReadBy;             // kPlainTextInputs | kXmlInputs | kPushInputs
};

// Numbered keys: N = 0..99; every number is read, gaps are allowed.
inline constexpr int kNumberedKeyCount = 100;

inline constexpr ConfigKey kConfigKeys[] = {
    {ConfigSection::kGlobal, "http_timeout_seconds", 0, ConfigValueType::kNumber, 20, "",
     kEveryInput},
    {ConfigSection::kGlobal, "retry_unreachable_targets", 0, ConfigValueType::kFlag, 1, "",
     kEveryInput},
    {ConfigSection::kGlobal, "max_connections_per_host", 0, ConfigValueType::kNumber, 1, "",
     kEveryInput},
    {ConfigSection::kGlobal, "status_listen_address", 0, ConfigValueType::kAddress, 0,
     "every interface", kEveryInput},
    {ConfigSection::kGlobal, "status_access_list", 0, ConfigValueType::kList, 0, "everyone",
     kEveryInput},
    {ConfigSection::kGlobal, "access_token", 0, ConfigValueType::kText, 0, "none asked",
     kEveryInput},
    {ConfigSection::kInput, "file", 0, ConfigValueType::kPath, 0, "",
     kPlainTextInputs | kXmlInputs},
    {ConfigSection::kInput, "type", 0, ConfigValueType::kInputType, 0, "plain text", kEveryInput},
    {ConfigSection::kInput, "charset", 0, ConfigValueType::kCharset, 0, "auto",
     kPlainTextInputs | kPushInputs},
    {ConfigSection::kInput, "Replace", kNumberedKeyCount, ConfigValueType::kReplaceItem, 0, "",
     kEveryInput},
    {ConfigSection::kInput, "text", kNumberedKeyCount, ConfigValueType::kKeywordOptions, 0, "",
     kPlainTextInputs | kPushInputs},
    {ConfigSection::kInput, "trim", 0, ConfigValueType::kFlag, 0, "", kXmlInputs},
    {ConfigSection::kInput, "uppercase", 0, ConfigValueType::kFlag, 0, "", kXmlInputs},
    {ConfigSection::kInput, "filter_accents", 0, ConfigValueType::kFlag, 0, "", kXmlInputs},
    {ConfigSection::kInput, "filter_quotes", 0, ConfigValueType::kFlag, 0, "", kXmlInputs},
    {ConfigSection::kOutput, "format", kNumberedKeyCount, ConfigValueType::kFormat, 0, "",
     kEveryInput},
    {ConfigSection::kOutput, "charset", 0, ConfigValueType::kCharset, 0, "the values' own bytes",
     kEveryInput},
    {ConfigSection::kOutput, "Url", kNumberedKeyCount, ConfigValueType::kUrl, 0, "", kEveryInput},
    {ConfigSection::kOutput, "Replace", kNumberedKeyCount, ConfigValueType::kReplaceItem, 0, "",
     kEveryInput},
};

// The options of a keyword key (textN=line=2 find=Artist ...); letter case is
// ignored when they are read.
inline constexpr std::string_view kKeywordOptionNames[] = {
    "line", "find",      "begin",          "end",          "rbegin", "rend",
    "trim", "uppercase", "filter_accents", "filter_quotes"};

// The schema's key `name` (exact spelling) of `section`; not compiled when the
// schema has no such key.
consteval const ConfigKey& SchemaKey(ConfigSection section, std::string_view name) {
  for (const ConfigKey& key : kConfigKeys) {
    if (key.section == section && key.strName == name) return key;
  }
  throw "the configuration schema has no such key";
}

// `name` when it is a keyword option; not compiled otherwise.
consteval std::string_view KeywordOption(std::string_view name) {
  for (std::string_view option : kKeywordOptionNames) {
    if (option == name) return option;
  }
  throw "keywords have no such option";
}

// "Input7", "Output7", "global" (`number` is ignored for it).
std::string ConfigSectionName(ConfigSection section, int number);
// "text7": the name of number `number` of a numbered key, as the service reads it.
std::string NumberedKeyName(const ConfigKey& key, int number);

// The number N of a section named InputN (ConfigSection::kInput) or OutputN
// exactly as the service formats it (any letter case, no leading zeros, N in
// the pair range); -1 for any other name.
int ConfigPairNumber(std::string_view name, ConfigSection section);

// Every section name the service reads: global, then Input0.., then Output0...
std::vector<std::string> ConfigSectionNames();

// The names of the keys of `section` read by one of `inputs` (numbered keys
// with every number), in schema order.
std::vector<std::string> ConfigKeyNames(ConfigSection section, unsigned inputs);

// The schema as the Markdown table of docs/configuration.md (section, key,
// numbered range, type, default, read by), one line per key.
std::string ConfigKeyTable();

#endif  // QUILLRADE_CONFIG_CONFIG_SCHEMA_H_
