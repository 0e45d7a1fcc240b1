// Documents in a Windows code page read the same on every platform: through
// the C library's converters on Linux, through the registered handlers on
// Windows.
#include "engine/xml_encodings.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>

namespace {

// The text of the root element of `document`, or "(no document)".
std::string RootText(const std::string& document) {
  xmlDocPtr parsed = xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr,
                                   nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR);
  if (parsed == nullptr) return "(no document)";
  xmlChar* content = xmlNodeGetContent(xmlDocGetRootElement(parsed));
  std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  xmlFreeDoc(parsed);
  return text;
}

TEST(XmlEncodingsTest, CodePageDocumentsReadAsUtf8) {
  xmlInitParser();
  RegisterSystemXmlEncodings();
  EXPECT_EQ(RootText("<?xml version=\"1.0\" encoding=\"windows-1252\"?><t>Caf\xe9 \x80</t>"),
            "Caf\xc3\xa9 \xe2\x82\xac");
  EXPECT_EQ(RootText("<?xml version=\"1.0\" encoding=\"CP1252\"?><t>\xe9</t>"), "\xc3\xa9");
  EXPECT_EQ(RootText("<?xml version=\"1.0\" encoding=\"ibm850\"?><t>\x82</t>"), "\xc3\xa9");
  EXPECT_EQ(RootText("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><t>\x82\xa0</t>"),
            "\xe3\x81\x82");
}

TEST(XmlEncodingsTest, RegisteringTwiceAddsNothing) {
  xmlInitParser();
  const int first = RegisterSystemXmlEncodings();
  EXPECT_EQ(RegisterSystemXmlEncodings(), first);
}

}  // namespace
