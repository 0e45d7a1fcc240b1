#include "engine/xml_input.h"

#include <libxml/tree.h>

#include <memory>

namespace {

constexpr std::string_view kAttributePrefix = "%xmlprop_";
constexpr std::string_view kElementPrefix = "%xml_";

// libxml2 hands out attribute values in memory the caller must release.
struct XmlStringDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlString = std::unique_ptr<xmlChar, XmlStringDeleter>;

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool NamesEqualIgnoringAsciiCase(const xmlChar* name, const std::string& wanted) {
  if (name == nullptr) return false;
  std::string_view actual(reinterpret_cast<const char*>(name));
  if (actual.size() != wanted.size()) return false;
  for (size_t i = 0; i < actual.size(); ++i) {
    if (FoldAscii(actual[i]) != FoldAscii(wanted[i])) return false;
  }
  return true;
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

}  // namespace

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
  return pass == XmlPass::kAttribute ? FindAttributeValue(root, path)
                                     : FindElementText(root, path);
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
