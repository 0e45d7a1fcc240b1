#include "config/config_schema.h"

#include "util/text_util.h"

namespace {

const char* SectionStem(ConfigSection section) {
  switch (section) {
    case ConfigSection::kInput:
      return "Input";
    case ConfigSection::kOutput:
      return "Output";
    default:
      return kGlobalSection;
  }
}

std::string SectionColumn(ConfigSection section) {
  const char* numbered = section == ConfigSection::kGlobal ? "" : "N";
  return StringPrintf("`[%s%s]`", SectionStem(section), numbered);
}

std::string TypeColumn(ConfigValueType type) {
  switch (type) {
    case ConfigValueType::kNumber:
      return "number";
    case ConfigValueType::kFlag:
      return "flag (on when not 0)";
    case ConfigValueType::kPath:
      return "file path";
    case ConfigValueType::kInputType:
      return "`xml`, `push` or plain text";
    case ConfigValueType::kCharset:
      return "charset name";
    case ConfigValueType::kKeywordOptions: {
      std::string options = "keyword options:";
      for (const std::string_view option : kKeywordOptionNames) {
        options += StringPrintf(" `%.*s`", static_cast<int>(option.size()), option.data());
      }
      return options;
    }
    case ConfigValueType::kReplaceItem:
      return "`search,replacement`";
    case ConfigValueType::kFormat:
      return "text with `%tokens%`";
    case ConfigValueType::kUrl:
      return "URL template";
    case ConfigValueType::kAddress:
      return "IPv4 address";
    case ConfigValueType::kList:
      return "list of `+`/`-` subnets";
    default:
      return "text";
  }
}

std::string DefaultColumn(const ConfigKey& key) {
  if (key.type == ConfigValueType::kNumber || key.type == ConfigValueType::kFlag) {
    return StringPrintf("%d", key.nDefault);
  }
  return key.strDefault.empty() ? "—" : std::string(key.strDefault);
}

std::string ReadByColumn(const ConfigKey& key) {
  if (key.section == ConfigSection::kGlobal) return "the service";
  std::string names;
  const auto add = [&](unsigned bit, const char* name) {
    if ((key.nReadBy & bit) == 0) return;
    names += names.empty() ? name : std::string(", ") + name;
  };
  add(kPlainTextInputs, "plain text");
  add(kXmlInputs, "XML");
  add(kPushInputs, "push");
  return names;
}

}  // namespace

std::string ConfigSectionName(ConfigSection section, int number) {
  if (section == ConfigSection::kGlobal) return SectionStem(section);
  return StringPrintf("%s%i", SectionStem(section), number);
}

std::string NumberedKeyName(const ConfigKey& key, int number) {
  return StringPrintf("%.*s%i", static_cast<int>(key.strName.size()), key.strName.data(), number);
}

int ConfigPairNumber(std::string_view name, ConfigSection section) {
  if (section == ConfigSection::kGlobal) return -1;
  const std::string_view stem = SectionStem(section);
  if (name.size() <= stem.size() || !EqualsIgnoringAsciiCase(name.substr(0, stem.size()), stem)) {
    return -1;
  }
  const std::string_view digits = name.substr(stem.size());
  for (int i = 0; i < kConfigPairCount; ++i) {
    if (digits == StringPrintf("%i", i)) return i;
  }
  return -1;
}

std::vector<std::string> ConfigSectionNames() {
  std::vector<std::string> names = {SectionStem(ConfigSection::kGlobal)};
  for (const ConfigSection section : {ConfigSection::kInput, ConfigSection::kOutput}) {
    for (int i = 0; i < kConfigPairCount; ++i) names.push_back(ConfigSectionName(section, i));
  }
  return names;
}

std::vector<std::string> ConfigKeyNames(ConfigSection section, unsigned inputs) {
  std::vector<std::string> names;
  for (const ConfigKey& key : kConfigKeys) {
    if (key.section != section || (key.nReadBy & inputs) == 0) continue;
    if (key.nCount == 0) names.emplace_back(key.strName);
    for (int i = 0; i < key.nCount; ++i) names.push_back(NumberedKeyName(key, i));
  }
  return names;
}

std::string ConfigKeyTable() {
  std::string table =
      "| section | key | numbered | type | default | read by |\n"
      "|---|---|---|---|---|---|\n";
  for (const ConfigKey& key : kConfigKeys) {
    const bool numbered = key.nCount > 0;
    const std::string name = std::string(key.strName) + (numbered ? "N" : "");
    const std::string range = numbered ? StringPrintf("0..%d", key.nCount - 1) : "—";
    table += StringPrintf("| %s | `%s` | %s | %s | %s | %s |\n", SectionColumn(key.section).c_str(),
                          name.c_str(), range.c_str(), TypeColumn(key.type).c_str(),
                          DefaultColumn(key).c_str(), ReadByColumn(key).c_str());
  }
  return table;
}
