// Feeds arbitrary documents and formats to the XML token resolution. The input
// is split at the first NUL byte: the bytes before it are the format (and a path),
// the bytes after it the document. Checks that resolution terminates, that a
// format without tokens is left alone, that path splitting loses nothing, and that
// no value of a document the expansion measure lets through is larger than its
// bound. A refused document is never read, as in the program.
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "engine/xml_input.h"

namespace {

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

void CheckPathSplit(std::string_view path) {
  std::string joined;
  const auto components = SplitXmlPath(path);
  for (size_t i = 0; i < components.size(); ++i) {
    if (i > 0) joined += ':';
    joined += components[i];
  }
  std::string_view expected = path;
  if (!expected.empty() && expected.back() == ':') expected.remove_suffix(1);
  if (joined != expected) abort();
}

void CheckValueSize(const std::string& value) {
  if (value.size() > kMaxExpandedValueBytes) abort();
}

void CheckSubstitution(const std::string& format, const xmlDoc* doc) {
  size_t calls = 0;
  const XmlValueFilter filter = [&](std::string& value) {
    ++calls;
    CheckValueSize(value);
    if (value.size() % 2 == 1) value += "%xml_";  // inserted tokens must stay inert
  };
  std::string text = format;
  SubstituteXmlTokens(text, doc, XmlPass::kAttribute, filter);
  SubstituteXmlTokens(text, doc, XmlPass::kElement, filter);
  if (format.find("%xml") == std::string::npos && (text != format || calls != 0)) abort();
  // Every token consumes at least its prefix and closing "%".
  if (calls > format.size() / 6 + 1) abort();
}

void IgnoreLibraryMessage(void*, const char*, ...) {}

}  // namespace

// Encoding errors are reported whatever the parser options say; thousands a
// second would bury the fuzzer's own output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xmlSetGenericErrorFunc(nullptr, IgnoreLibraryMessage);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string format(input.substr(0, split));
  const std::string_view xml = split == std::string_view::npos ? "" : input.substr(split + 1);

  std::unique_ptr<xmlDoc, DocDeleter> doc(
      xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  const xmlDoc* readable = doc && XmlExpansionsWithinLimits(doc.get()) ? doc.get() : nullptr;
  CheckPathSplit(format);
  CheckSubstitution(format, readable);
  CheckValueSize(FindXmlValue(readable, SplitXmlPath(format), XmlPass::kAttribute));
  CheckValueSize(FindXmlValue(readable, SplitXmlPath(format), XmlPass::kElement));
  return 0;
}
