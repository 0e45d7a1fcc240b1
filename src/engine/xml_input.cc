#include "engine/xml_input.h"

#include <libxml/entities.h>
#include <libxml/tree.h>

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "util/text_util.h"

namespace {

constexpr std::string_view kAttributePrefix = "%xmlprop_";
constexpr std::string_view kElementPrefix = "%xml_";

// libxml2 hands out attribute values in memory the caller must release.
struct XmlStringDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlString = std::unique_ptr<xmlChar, XmlStringDeleter>;

bool NamesEqualIgnoringAsciiCase(const xmlChar* name, const std::string& wanted) {
  if (name == nullptr) return false;
  return EqualsIgnoringAsciiCase(reinterpret_cast<const char*>(name), wanted);
}

// True when the first `count` components, read backwards, name `element` and its
// element ancestors in turn.
bool NamesFit(const xmlNode* element, const std::vector<std::string>& path, size_t count) {
  const xmlNode* node = element;
  for (size_t i = count; i-- > 0; node = node->parent) {
    if (node == nullptr || node->type != XML_ELEMENT_NODE) return false;
    if (!NamesEqualIgnoringAsciiCase(node->name, path[i])) return false;
  }
  return true;
}

// The element after `node` in document order within the subtree of `limit`, or
// null. Only elements are descended into: other nodes are skipped together with
// anything below them (an entity reference's children belong to the entity).
const xmlNode* NextInWalk(const xmlNode* node, const xmlNode* limit) {
  if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
    node = node->children;
  } else {
    while (node != limit && node->next == nullptr) node = node->parent;
    if (node == limit) return nullptr;
    node = node->next;
  }
  return node;
}

// First element of the walk from `start` (inside the subtree of `limit`) for which
// `fits` holds; iterative so that deep documents cannot exhaust the stack.
template <typename Predicate>
const xmlNode* FindFirstElement(const xmlNode* start, const xmlNode* limit, Predicate fits) {
  for (const xmlNode* node = start; node != nullptr; node = NextInWalk(node, limit)) {
    if (node->type == XML_ELEMENT_NODE && fits(node)) return node;
  }
  return nullptr;
}

std::string FindAttributeValue(const xmlNode* root, const std::vector<std::string>& path) {
  if (path.empty()) return {};
  const xmlChar* attribute = reinterpret_cast<const xmlChar*>(path.back().c_str());
  XmlString value;
  FindFirstElement(root, root, [&](const xmlNode* element) {
    if (!NamesFit(element, path, path.size() - 1)) return false;
    value.reset(xmlGetProp(element, attribute));
    return value != nullptr;
  });
  return value ? std::string(reinterpret_cast<const char*>(value.get())) : std::string();
}

std::string FindElementText(const xmlNode* root, const std::vector<std::string>& path) {
  auto fits = [&](const xmlNode* element) { return NamesFit(element, path, path.size()); };
  const xmlNode* match = FindFirstElement(root, root, fits);
  // Only a first child that is a plain text node counts; otherwise the first
  // fitting element inside the match decides, in the same way.
  while (match != nullptr) {
    const xmlNode* first = match->children;
    if (first != nullptr && first->type == XML_TEXT_NODE) {
      return first->content ? std::string(reinterpret_cast<const char*>(first->content))
                            : std::string();
    }
    match = first ? FindFirstElement(first, match, fits) : nullptr;
  }
  return {};
}

// Any expanded size beyond this is as bad as any other: sums stop growing here,
// so no count can overflow however deeply entities multiply each other.
constexpr uint64_t kOversize = kMaxExpandedDocumentBytes + 1;
// Entities nested deeper than this count as oversized; the parser refuses far
// shallower nesting already, this only keeps the measuring recursion bounded.
constexpr int kMaxEntityDepth = 64;

uint64_t AddCapped(uint64_t sum, uint64_t more) { return std::min(sum + more, kOversize); }

// Measures expanded sizes of the values of one document. Each entity's size is
// worked out once from its replacement text and remembered, so the cost is linear
// however often an entity is referenced.
class CExpansionMeter {
 public:
  explicit CExpansionMeter(const xmlDoc* document) : pDocument(document) {}

  // Size of a list of sibling nodes (an attribute's value or an element's
  // children) with entity references expanded; element children count nothing of
  // their own. Every reference's size is added to the document's total.
  uint64_t ListSize(const xmlNode* first) {
    uint64_t size = 0;
    for (const xmlNode* node = first; node != nullptr; node = node->next) {
      if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
        if (node->content != nullptr) size = AddCapped(size, xmlStrlen(node->content));
      } else if (node->type == XML_ENTITY_REF_NODE) {
        const uint64_t expanded = EntitySize(xmlGetDocEntity(pDocument, node->name), 0);
        size = AddCapped(size, expanded);
        nTotal = AddCapped(nTotal, expanded);
      }
    }
    return size;
  }

  uint64_t Total() const { return nTotal; }

 private:
  // Size of an entity's replacement text with its references expanded in turn.
  // A reference cycle or too deep a nesting counts as oversized.
  uint64_t EntitySize(const xmlEntity* entity, int depth) {
    if (entity == nullptr || entity->content == nullptr) return 0;
    const auto known = sizes.find(entity);
    if (known != sizes.end()) return known->second;
    if (depth > kMaxEntityDepth) return kOversize;
    sizes[entity] = kOversize;  // stands while the entity is being measured
    const uint64_t size = TextSize(reinterpret_cast<const char*>(entity->content), depth);
    sizes[entity] = size;
    return size;
  }

  // Replacement text keeps references to other general entities as "&name;";
  // character references were replaced when the entity was declared. Every other
  // byte counts as itself, so "&#38;" left over from such a replacement counts
  // five bytes where it expands to one.
  uint64_t TextSize(const char* text, int depth) {
    uint64_t size = 0;
    for (const char* p = text; *p != '\0'; ++p) {
      const char* end = *p == '&' ? ReferenceEnd(p) : nullptr;
      const xmlEntity* entity = nullptr;
      if (end != nullptr) {
        const std::string name(p + 1, end);
        entity = xmlGetDocEntity(pDocument, reinterpret_cast<const xmlChar*>(name.c_str()));
      }
      if (entity == nullptr) {
        size = AddCapped(size, 1);
        continue;
      }
      size = AddCapped(size, EntitySize(entity, depth + 1));
      p = end;
    }
    return size;
  }

  // The ";" closing a named reference that starts at `amp`, or null. The scan
  // stops at the next "&" too, so a text full of bare "&" is read once only.
  static const char* ReferenceEnd(const char* amp) {
    if (amp[1] == '#' || amp[1] == ';') return nullptr;
    for (const char* p = amp + 1; *p != '\0' && *p != '&'; ++p) {
      if (*p == ';') return p;
    }
    return nullptr;
  }

  const xmlDoc* pDocument;
  std::unordered_map<const xmlEntity*, uint64_t> sizes;
  uint64_t nTotal = 0;
};

}  // namespace

bool XmlExpansionsWithinLimits(const xmlDoc* document) {
  const xmlNode* root = document ? xmlDocGetRootElement(document) : nullptr;
  if (root == nullptr) return false;
  CExpansionMeter meter(document);
  for (const xmlNode* node = root; node != nullptr; node = NextInWalk(node, root)) {
    if (node->type != XML_ELEMENT_NODE) continue;
    for (const xmlAttr* attribute = node->properties; attribute != nullptr;
         attribute = attribute->next) {
      if (meter.ListSize(attribute->children) > kMaxExpandedValueBytes) return false;
    }
    if (meter.ListSize(node->children) > kMaxExpandedValueBytes) return false;
    if (meter.Total() > kMaxExpandedDocumentBytes) return false;
  }
  return true;
}

std::string_view XmlTokenPrefix(XmlPass pass) {
  return pass == XmlPass::kAttribute ? kAttributePrefix : kElementPrefix;
}

std::vector<std::string> SplitXmlPath(std::string_view path) {
  std::vector<std::string> components;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t colon = path.find(':', pos);
    if (colon == std::string_view::npos) colon = path.size();
    components.emplace_back(path.substr(pos, colon - pos));
    pos = colon + 1;
  }
  return components;
}

std::string FindXmlValue(const xmlDoc* document, const std::vector<std::string>& path,
                         XmlPass pass) {
  const xmlNode* root = document ? xmlDocGetRootElement(document) : nullptr;
  if (root == nullptr) return {};
  return pass == XmlPass::kAttribute ? FindAttributeValue(root, path) : FindElementText(root, path);
}

void SubstituteXmlTokens(std::string& text, const xmlDoc* document, XmlPass pass,
                         const XmlValueFilter& filter) {
  const std::string_view prefix = XmlTokenPrefix(pass);
  // Built piecewise so that many tokens in a long text cost linear time.
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = text.find(prefix, pos);
    if (start == std::string::npos) break;
    size_t close = text.find('%', start + prefix.size());
    if (close == std::string::npos) break;
    std::string_view path(text.data() + start + prefix.size(), close - start - prefix.size());
    std::string value = FindXmlValue(document, SplitXmlPath(path), pass);
    if (filter) filter(value);
    out.append(text, pos, start - pos);
    out += value;
    pos = close + 1;
  }
  if (pos == 0) return;
  if (pos < text.size()) out.append(text, pos, std::string::npos);
  text = std::move(out);
}
