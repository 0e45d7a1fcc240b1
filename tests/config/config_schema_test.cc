// The schema's key names and numbers as check and the tasks rely on them, and
// the key table of docs/configuration.md, which must be the schema's rendering.
#include "config/config_schema.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "util/text_util.h"

namespace {

constexpr char kTableStart[] = "<!-- key table: generated, do not edit -->\n";
constexpr char kTableEnd[] = "<!-- end of key table -->";

TEST(ConfigSchemaTest, KeyNamesAreUniqueAndPairNumbersAreTheServicesOwn) {
  for (const ConfigSection section :
       {ConfigSection::kGlobal, ConfigSection::kInput, ConfigSection::kOutput}) {
    std::set<std::string> seen;  // a name twice (Url with Url1) would hide a key
    for (const std::string& name : ConfigKeyNames(section, kEveryInput)) {
      EXPECT_TRUE(seen.insert(ToLowerAscii(name)).second) << name;
    }
  }
  EXPECT_EQ(ConfigKeyNames(ConfigSection::kInput, kEveryInput).back(), "filter_quotes");
  EXPECT_EQ(ConfigKeyNames(ConfigSection::kOutput, kXmlInputs).front(), "format0");
  EXPECT_EQ(ConfigKeyNames(ConfigSection::kOutput, kXmlInputs).back(), "Replace99");
  EXPECT_EQ(ConfigPairNumber("input99", ConfigSection::kInput), 99);
  EXPECT_EQ(ConfigPairNumber("Output0", ConfigSection::kOutput), 0);
  for (const char* name : {"Input100", "Input07", "Input", "Input-1", "Output1"}) {
    EXPECT_EQ(ConfigPairNumber(name, ConfigSection::kInput), -1) << name;
  }
  EXPECT_EQ(ConfigSectionNames().size(), 1u + 2u * kConfigPairCount);
}

// On a difference the expected table is printed: paste it between the markers.
TEST(ConfigSchemaTest, DocumentedKeyTableIsTheSchemas) {
#ifdef _WIN32
  GTEST_SKIP() << "the Linux build checks the documentation";
#endif
  std::ifstream file(std::string(QR_SOURCE_DIR) + "/docs/configuration.md", std::ios::binary);
  std::stringstream doc;
  doc << file.rdbuf();
  const std::string text = doc.str();
  const size_t start = text.find(kTableStart);
  const size_t end = text.find(kTableEnd);
  ASSERT_NE(start, std::string::npos) << "docs/configuration.md lacks " << kTableStart;
  ASSERT_NE(end, std::string::npos) << "docs/configuration.md lacks " << kTableEnd;
  const size_t from = start + sizeof(kTableStart) - 1;
  EXPECT_EQ(text.substr(from, end - from), ConfigKeyTable())
      << "docs/configuration.md's key table differs from the schema; it should read:\n"
      << kTableStart << ConfigKeyTable() << kTableEnd;
}

}  // namespace
