#include "engine/url_compose.h"

#include <string_view>

#include "engine/task.h"
#include "util/charset_text.h"

namespace {

// URL replace items never touch this leading scheme (matched in any letter case).
constexpr std::string_view kHttpScheme = "http://";

bool StartsWithHttpScheme(const std::string& url) {
  return url.size() >= kHttpScheme.size() &&
         ToLowerAscii(std::string_view(url).substr(0, kHttpScheme.size())) == kHttpScheme;
}

// A result as its output's targets expect it: in the output's set when one is
// configured, from the set of the task that composed it.
std::string InOutputCharset(const CTask& output, const CTask& source, const std::string& result) {
  if (!output.outputCharset) return result;
  return ConvertText(result, source.valueCharset, *output.outputCharset);
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
    ReplaceAll(url, StringPrintf("%%%s%%", item.strName.c_str()),
               UrlEncode(InOutputCharset(task, task, item.strResult)));
  }
  for (const OutputReference& reference : task.OutputReferences()) {
    ReplaceAll(url, reference.strToken,
               UrlEncode(InOutputCharset(task, *reference.pTask, reference.pFormat->strResult)));
  }
  ApplyUrlReplaceList(url, task.urlReplaceList);
  return url;
}
