// Values of a parsed XML document named by format tokens: "%xml_" + path + "%"
// for the text of an element, "%xmlprop_" + path + "%" for an attribute's value.
// A path is a ":"-separated list of names read from its last component upwards:
// "song:title" is a title element whose parent is a song element.
//
// XmlExpansionsWithinLimits decides whether a document's values may be read at
// all: entity references are kept unexpanded by the parser and only expanded when
// a value is read, so a small file can stand for values of any size.
//
// Pure functions over a document the caller owns; they never modify it.
// Threads: any thread, as long as the document is not changed meanwhile.
#ifndef QUILLRADE_ENGINE_XML_INPUT_H_
#define QUILLRADE_ENGINE_XML_INPUT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct _xmlDoc;

// Which kind of token a pass resolves.
enum class XmlPass {
  kAttribute,  // "%xmlprop_": the last path component names an attribute
  kElement,    // "%xml_": the last path component names an element
};

// Bounds on entity expansion; a document that exceeds either is refused whole.
constexpr uint64_t kMaxExpandedValueBytes = 64 * 1024;       // one element text or attribute value
constexpr uint64_t kMaxExpandedDocumentBytes = 1024 * 1024;  // all entity references together

// True when every attribute value and every element's own text (its text children
// with their entity references expanded) stays within kMaxExpandedValueBytes and
// the expansions of all entity references together within
// kMaxExpandedDocumentBytes. Expanded sizes are measured from the entity
// declarations without building any value; an entity's replacement text counts at
// its full size, markup included, so the measure never falls short. Linear in the
// size of the document and its declarations. False for a null document.
bool XmlExpansionsWithinLimits(const struct _xmlDoc* document);

// Token prefix of a pass ("%xmlprop_" or "%xml_").
std::string_view XmlTokenPrefix(XmlPass pass);

// Splits a path at every ":" from left to right: "a::b" gives a, "", b; a
// trailing ":" adds nothing; an empty path has no components.
std::vector<std::string> SplitXmlPath(std::string_view path);

// The text the path names in `document`, or empty when nothing matches (also for
// a null document or one without a root element).
// Attribute pass: the first element in document order that has the attribute and
// whose name and ancestors' names fit the other components gives the attribute's
// value. Element pass: the first fitting element gives its first child's text
// when that child is a plain text node; otherwise the search continues inside
// that element's subtree only. Element names compare ignoring ASCII case.
std::string FindXmlValue(const struct _xmlDoc* document, const std::vector<std::string>& path,
                         XmlPass pass);

// Called with every value found before it is inserted, empty values included.
using XmlValueFilter = std::function<void(std::string& value)>;

// Replaces every token of `pass` in `text` by its filtered value. Inserted values
// are not searched again; a prefix without a closing "%" ends the pass and leaves
// the rest of the text as written.
void SubstituteXmlTokens(std::string& text, const struct _xmlDoc* document, XmlPass pass,
                         const XmlValueFilter& filter);

#endif  // QUILLRADE_ENGINE_XML_INPUT_H_
