#include "engine/url_compose.h"

#include <string_view>

#include "engine/task.h"

namespace {

// URL replace items never touch this leading scheme (matched in any letter case).
constexpr std::string_view kHttpScheme = "http://";

bool StartsWithHttpScheme(const std::string& url) {
  return url.size() >= kHttpScheme.size() &&
         ToLowerAscii(std::string_view(url).substr(0, kHttpScheme.size())) == kHttpScheme;
}

}  // namespace

void ApplyUrlReplaceList(std::string& url, const std::vector<SearchReplaceItem>& items) {
  if (items.empty()) return;
  const size_t keep = StartsWithHttpScheme(url) ? kHttpScheme.size() : 0;
  std::string rest = url.substr(keep);
  ApplyReplaceItems(rest, items);
  url.replace(keep, std::string::npos, rest);
}

std::string ComposeTaskUrl(const CTask& task, const std::string& urlTemplate) {
  std::string url = urlTemplate;
  for (const FormatItem& item : task.formatItems) {
    ReplaceAll(url, StringPrintf("%%%s%%", item.strName.c_str()), UrlEncode(item.strResult));
  }
  for (const OutputReference& reference : task.OutputReferences()) {
    ReplaceAll(url, reference.strToken, UrlEncode(reference.pFormat->strResult));
  }
  ApplyUrlReplaceList(url, task.urlReplaceList);
  return url;
}
