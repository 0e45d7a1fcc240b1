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

namespace config_schema_table {
using enum ConfigSection;
using enum ConfigValueType;
// One line per key: section, name (or stem), numbered count, type, number
// default, what an absent text means, the input types that read it.
// clang-format off
inline constexpr ConfigKey kKeys[] = {
    {kGlobal, "http_timeout_seconds",      0,                 kNumber,         20, "",                      kEveryInput},
    {kGlobal, "retry_unreachable_targets", 0,                 kFlag,           1,  "",                      kEveryInput},
    {kGlobal, "max_connections_per_host",  0,                 kNumber,         1,  "",                      kEveryInput},
    {kGlobal, "status_listen_address",     0,                 kAddress,        0,  "every interface",       kEveryInput},
    {kGlobal, "status_access_list",        0,                 kList,           0,  "everyone",              kEveryInput},
    {kGlobal, "access_token",              0,                 kText,           0,  "none asked",            kEveryInput},
    {kInput,  "file",                      0,                 kPath,           0,  "",                      kPlainTextInputs | kXmlInputs},
    {kInput,  "type",                      0,                 kInputType,      0,  "plain text",            kEveryInput},
    {kInput,  "charset",                   0,                 kCharset,        0,  "auto",                  kPlainTextInputs | kPushInputs},
    {kInput,  "Replace",                   kNumberedKeyCount, kReplaceItem,    0,  "",                      kEveryInput},
    {kInput,  "text",                      kNumberedKeyCount, kKeywordOptions, 0,  "",                      kPlainTextInputs | kPushInputs},
    {kInput,  "trim",                      0,                 kFlag,           0,  "",                      kXmlInputs},
    {kInput,  "uppercase",                 0,                 kFlag,           0,  "",                      kXmlInputs},
    {kInput,  "filter_accents",            0,                 kFlag,           0,  "",                      kXmlInputs},
    {kInput,  "filter_quotes",             0,                 kFlag,           0,  "",                      kXmlInputs},
    {kOutput, "format",                    kNumberedKeyCount, kFormat,         0,  "",                      kEveryInput},
    {kOutput, "charset",                   0,                 kCharset,        0,  "the values' own bytes", kEveryInput},
    {kOutput, "Url",                       kNumberedKeyCount, kUrl,            0,  "",                      kEveryInput},
    {kOutput, "Replace",                   kNumberedKeyCount, kReplaceItem,    0,  "",                      kEveryInput},
};
// clang-format on
}  // namespace config_schema_table

inline constexpr const auto& kConfigKeys = config_schema_table::kKeys;

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
