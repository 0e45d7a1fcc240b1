// Feeds arbitrary URL templates, format results, replace items and reference
// tokens to the URL composition and to the binding of cross-task references.
// The input is cut at NUL bytes into fields. Checks that binding and composition
// terminate, that a composed URL never carries a raw control byte from a result,
// and that a leading "http://" survives every replace item.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/task.h"
#include "engine/url_compose.h"
#include "util/text_util.h"

namespace {

std::vector<std::string> SplitFields(std::string_view input) {
  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos <= input.size()) {
    size_t end = input.find('\0', pos);
    if (end == std::string_view::npos) end = input.size();
    fields.emplace_back(input.substr(pos, end - pos));
    pos = end + 1;
  }
  return fields;
}

std::string Field(const std::vector<std::string>& fields, size_t i) {
  return i < fields.size() ? fields[i] : std::string();
}

void FillTask(CTask& task, const std::vector<std::string>& fields, size_t offset,
              const char* label) {
  task.strLabel = label;
  task.urlReplaceList = BuiltInReplaceItems();
  task.urlReplaceList.push_back({Field(fields, offset), Field(fields, offset + 1)});
  task.formatItems.push_back({"format0", "", Field(fields, offset + 2)});
  task.formatItems.push_back({"format1", "", Field(fields, offset + 3)});
  task.formatItems.push_back({"format10", "", Field(fields, offset + 4)});
  task.vecUrls.push_back("http://h/" + Field(fields, offset + 5));
  task.vecUrls.push_back(Field(fields, offset + 6));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = SplitFields(std::string_view(reinterpret_cast<const char*>(data), size));
  CTask first;
  CTask second;
  FillTask(first, fields, 0, "output0");
  FillTask(second, fields, 7, "output1");
  const std::map<std::string, CTask*> outputs = {{"output0", &first}, {"output1", &second}};
  first.LinkOutputReferences(outputs);
  second.LinkOutputReferences(outputs);

  for (const CTask* task : {&first, &second}) {
    for (const std::string& urlTemplate : task->vecUrls) {
      const std::string url = ComposeTaskUrl(*task, urlTemplate);
      UrlDecode(url, false);
      const bool templateHasControl = urlTemplate.find_first_of("\r\n\t") != std::string::npos;
      // Results arrive encoded; the built-in items turn the template's own line
      // ends and tabs into markers, unless a configured item puts them back.
      if (!templateHasControl &&
          task->urlReplaceList.back().strReplace.find_first_of("\r\n\t") == std::string::npos &&
          url.find_first_of("\r\n\t") != std::string::npos) {
        abort();
      }
      if (urlTemplate.rfind("http://", 0) == 0 && url.rfind("http://", 0) != 0) abort();
    }
  }
  return 0;
}
