#include "engine/xml_input.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;

DocPtr Parse(const std::string& xml) {
  return DocPtr(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

// Resolves a format the way an XML task does: attribute tokens, then element tokens.
std::string Resolve(const xmlDoc* doc, std::string text, const XmlValueFilter& filter = {}) {
  SubstituteXmlTokens(text, doc, XmlPass::kAttribute, filter);
  SubstituteXmlTokens(text, doc, XmlPass::kElement, filter);
  return text;
}

const char kNowPlaying[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<nowplaying>\n"
    "  <song duration=\"215\" id=\"\">\n"
    "    <title>Blue Sky</title>\n"
    "    <artist>The Example Band</artist>\n"
    "  </song>\n"
    "  <song duration=\"300\"><title>Second</title></song>\n"
    "</nowplaying>\n";

TEST(XmlInputTest, ResolvesPathsInTheExampleDocument) {
  DocPtr doc = Parse(kNowPlaying);
  ASSERT_TRUE(doc);
  struct Case {
    const char* format;
    const char* expected;
  } cases[] = {
      {"%xml_title%", "Blue Sky"},
      {"%xml_nowplaying:song:artist%", "The Example Band"},
      {"%xml_NowPlaying:Song:Title%", "Blue Sky"},
      {"%xml_song:title%", "Blue Sky"},
      {"%xml_title:%", "Blue Sky"},           // a trailing ":" adds nothing
      {"%xml_other:song:title%", ""},         // an ancestor name that does not fit
      {"%xml_x:nowplaying:song:title%", ""},  // more names than ancestors
      {"%xml_a::b%", ""},                     // an empty component fits no element
      {"%xml_:title%", ""},
      {"%xml_album%", ""},
      {"%xmlprop_song:duration%", "215"},
      {"%xmlprop_duration%", "215"},
      {"%xmlprop_nowplaying:song:duration%", "215"},
      {"%xmlprop_Duration%", ""},  // attribute names keep their case
      {"%xmlprop_id%", ""},        // present but empty
      {"%xmlprop_title:duration%", ""},
      {"%xmlprop_%", ""},
      {"%xml_song%", "\n    "},  // first child is white space text
      {"%xml_%", "\n  "},        // empty path: the root element
      {"%xml_artist% - %xmlprop_song:duration%s", "The Example Band - 215s"},
      {"%XML_title% %Xml_title%", "%XML_title% %Xml_title%"},  // prefixes are exact
      {"100% %xml_title%", "100% Blue Sky"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Resolve(doc.get(), c.format), c.expected) << c.format;
  }
}

TEST(XmlInputTest, OnlyAPlainFirstTextChildGivesAnElementValue) {
  struct Case {
    const char* xml;
    const char* path;
    const char* expected;
  } cases[] = {
      {"<r><t><![CDATA[cdata]]></t></r>", "t", ""},
      {"<r><t><!-- note -->text</t></r>", "t", ""},
      {"<r><t><b>bold</b>tail</t></r>", "t", ""},
      {"<r><t>Tom &amp; Jerry &#233;</t></r>", "t", "Tom & Jerry \xC3\xA9"},
      {"<r><t>\n  Blue\tSky  \n</t></r>", "t", "\n  Blue\tSky  \n"},
      // Repeated elements: the first in document order wins.
      {"<list><item>one</item><item>two</item></list>", "item", "one"},
      // No text first child: the search goes on inside that element only.
      {"<r><a><b><a>inner</a></b></a><a>later</a></r>", "a", "inner"},
      {"<r><a><b>x</b></a><a>later</a></r>", "a", ""},
      {"<r><a><!--c--><a><a>deepest</a></a></a></r>", "a", "deepest"},
      {"<r><a><a/>tail</a></r>", "a", ""},
      {"<r><x:t xmlns:x=\"urn:x\">ns</x:t></r>", "t", "ns"},
      {"<r><t/></r>", "t", ""},
  };
  for (const Case& c : cases) {
    DocPtr doc = Parse(c.xml);
    ASSERT_TRUE(doc) << c.xml;
    EXPECT_EQ(FindXmlValue(doc.get(), SplitXmlPath(c.path), XmlPass::kElement), c.expected)
        << c.xml;
  }
}

TEST(XmlInputTest, AttributeValuesHaveEntitiesResolved) {
  DocPtr doc =
      Parse("<r><a x=\"\"/><song title=\"Rock &amp; Roll &#233; &lt;3&gt; &quot;q&quot;\"/></r>");
  ASSERT_TRUE(doc);
  EXPECT_EQ(FindXmlValue(doc.get(), {"title"}, XmlPass::kAttribute),
            "Rock & Roll \xC3\xA9 <3> \"q\"");
  EXPECT_EQ(FindXmlValue(doc.get(), {"x"}, XmlPass::kAttribute), "");
  EXPECT_EQ(FindXmlValue(doc.get(), {}, XmlPass::kAttribute), "");
}

// A document declaring entity a as `size` bytes of "x", with `body` as its root.
std::string WithEntity(size_t size, const std::string& body) {
  return "<!DOCTYPE r [<!ENTITY a \"" + std::string(size, 'x') + "\">]>" + body;
}

std::string Repeat(const std::string& text, size_t times) {
  std::string result;
  for (size_t i = 0; i < times; ++i) result += text;
  return result;
}

// Declares l0 as `base` and l1 to l<levels>, each ten references to the one below.
std::string NestedEntities(int levels, const std::string& base) {
  std::string xml = "<!DOCTYPE r [<!ENTITY l0 \"" + base + "\">";
  for (int i = 1; i <= levels; ++i) {
    xml += "<!ENTITY l" + std::to_string(i) + " \"" +
           Repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">";
  }
  return xml + "]>";
}

TEST(XmlInputTest, DocumentsWhoseEntitiesExpandTooFarAreRefusedWhole) {
  // A billion "lol"s, and 10 000 bytes per &l1; that the parser itself lets through.
  const std::string laughs = NestedEntities(9, "lol");
  const std::string levels = NestedEntities(1, Repeat("0123456789", 100));

  const std::string refused[] = {
      // 56 KB: a 20 KB entity used 10 000 times in one attribute (200 MB).
      WithEntity(20000, "<r><song duration=\"" + Repeat("&a;", 10000) + "\"/></r>"),
      // 20 KB per attribute is fine; a thousand of them together are not.
      WithEntity(20000, "<r>" + Repeat("<song duration=\"&a;\"/>", 1000) + "</r>"),
      // Just over the bound for one value, in an attribute and in element text.
      WithEntity(16384, "<r><song d=\"&a;&a;&a;&a;x\"/></r>"),
      WithEntity(16384, "<r><t>x&a;&a;&a;&a;</t></r>"),
      // Element texts that are each small enough but together exceed 1 MB.
      WithEntity(20000, "<r>" + Repeat("<t>&a;</t>", 53) + "</r>"),
      // An element's own text counts whole even when child elements split it.
      WithEntity(20000, "<r><t>" + Repeat("<b/>&a;", 4) + "</t></r>"),
      laughs + "<r a=\"&l9;\"/>",
      laughs + "<r>&l9;</r>",
      levels + "<r><s a=\"" + Repeat("&l1;", 7) + "\"/></r>",
      levels + "<r>" + Repeat("<t>&l1;</t>", 105) + "</r>",
  };
  for (const std::string& xml : refused) {
    DocPtr doc = Parse(xml);
    // The parser refuses only the billion laughs itself.
    EXPECT_EQ(doc == nullptr, xml.find("l9") != std::string::npos) << xml.substr(0, 300);
    EXPECT_FALSE(doc && XmlExpansionsWithinLimits(doc.get())) << xml.substr(0, 300);
  }

  const std::string accepted[] = {
      WithEntity(16384, "<r><song d=\"&a;&a;&a;&a;\"/></r>"),
      WithEntity(16384, "<r><t>&a;&a;&a;&a;</t></r>"),
      WithEntity(20000, "<r>" + Repeat("<t>&a;</t>", 52) + "</r>"),
      levels + "<r><s a=\"" + Repeat("&l1;", 6) + "\"/></r>",
      levels + "<r>" + Repeat("<t>&l1;</t>", 104) + "</r>",
  };
  for (const std::string& xml : accepted) {
    DocPtr doc = Parse(xml);
    ASSERT_TRUE(doc) << xml.substr(0, 300);
    EXPECT_TRUE(XmlExpansionsWithinLimits(doc.get())) << xml.substr(0, 300);
  }
  DocPtr doc = Parse(accepted[0]);
  EXPECT_EQ(FindXmlValue(doc.get(), {"song", "d"}, XmlPass::kAttribute), std::string(65536, 'x'));
  EXPECT_FALSE(XmlExpansionsWithinLimits(nullptr));
}

TEST(XmlInputTest, OrdinaryEntitiesKeepTheirValues) {
  const char xml[] =
      "<!DOCTYPE r [<!ENTITY band \"Tom &amp; Jerry\"><!ENTITY both \"&band; &#233;\">]>"
      "<r><song title=\"&both; &lt;3&gt; (&band;)\" n=\"&#65;&amp;\"><t>x&band;y</t>"
      "<u>&amp;&lt;&#233;</u></song></r>";
  DocPtr doc = Parse(xml);
  ASSERT_TRUE(doc);
  EXPECT_TRUE(XmlExpansionsWithinLimits(doc.get()));
  EXPECT_EQ(Resolve(doc.get(), "%xmlprop_title%|%xmlprop_song:n%|%xml_t%|%xml_u%"),
            "Tom & Jerry \xC3\xA9 <3> (Tom & Jerry)|A&|x|&<\xC3\xA9");
  // Only the first text child of an element counts; an entity reference ends it.
  EXPECT_EQ(FindXmlValue(doc.get(), {"t"}, XmlPass::kElement), "x");
  doc = Parse(kNowPlaying);
  ASSERT_TRUE(doc);
  EXPECT_TRUE(XmlExpansionsWithinLimits(doc.get()));
}

TEST(XmlInputTest, SubstitutionStopsAtUnterminatedTokensAndNeverRescansValues) {
  DocPtr doc = Parse("<r><t>%xml_t%</t><u>x</u><p v=\"%xml_u%\"/></r>");
  ASSERT_TRUE(doc);
  // An inserted value is not searched again, so a value naming itself ends.
  EXPECT_EQ(Resolve(doc.get(), "[%xml_t%][%xml_t%]"), "[%xml_t%][%xml_t%]");
  // The element pass expands what the attribute pass inserted.
  EXPECT_EQ(Resolve(doc.get(), "%xmlprop_v%"), "x");
  EXPECT_EQ(Resolve(doc.get(), "a %xml_u% b %xml_u"), "a x b %xml_u");
  EXPECT_EQ(Resolve(doc.get(), "%xml_u"), "%xml_u");
  EXPECT_EQ(Resolve(doc.get(), "%xmlprop_v"), "%xmlprop_v");
  EXPECT_EQ(Resolve(doc.get(), ""), "");
}

TEST(XmlInputTest, FilterSeesEveryValueIncludingEmptyOnes) {
  DocPtr doc = Parse(kNowPlaying);
  ASSERT_TRUE(doc);
  std::vector<std::string> seen;
  auto filter = [&](std::string& value) {
    seen.push_back(value);
    value = "<" + value + ">";
  };
  EXPECT_EQ(Resolve(doc.get(), "%xml_album%|%xmlprop_duration%|%xml_title%", filter),
            "<>|<215>|<Blue Sky>");
  EXPECT_EQ(seen, (std::vector<std::string>{"215", "", "Blue Sky"}));
}

TEST(XmlInputTest, MissingDocumentGivesEmptyValues) {
  EXPECT_EQ(Parse("<r><t>x</t>"), nullptr);  // malformed: libxml2 gives no document
  EXPECT_EQ(FindXmlValue(nullptr, {"t"}, XmlPass::kElement), "");
  EXPECT_EQ(Resolve(nullptr, "a%xml_t%b%xmlprop_t%c"), "abc");
}

TEST(XmlInputTest, LargeAndDeepDocuments) {
  std::string big = "<list>";
  for (int i = 0; big.size() < 70000; ++i) {
    big +=
        "<item n=\"" + std::to_string(i) + "\"><name>entry " + std::to_string(i) + "</name></item>";
  }
  big += "<last>end</last></list>";
  DocPtr doc = Parse(big);
  ASSERT_TRUE(doc);
  EXPECT_EQ(Resolve(doc.get(), "%xml_last%/%xml_name%/%xmlprop_item:n%"), "end/entry 0/0");

  // As deep as libxml2 parses by default; the text sits at the bottom.
  const int depth = 250;
  std::string deep;
  for (int i = 0; i < depth; ++i) deep += "<d>";
  deep += "bottom";
  for (int i = 0; i < depth; ++i) deep += "</d>";
  doc = Parse(deep);
  ASSERT_TRUE(doc);
  EXPECT_EQ(FindXmlValue(doc.get(), {"d"}, XmlPass::kElement), "bottom");
  EXPECT_EQ(FindXmlValue(doc.get(), std::vector<std::string>(depth, "D"), XmlPass::kElement),
            "bottom");
  EXPECT_EQ(FindXmlValue(doc.get(), std::vector<std::string>(depth + 1, "d"), XmlPass::kElement),
            "");
}

}  // namespace
