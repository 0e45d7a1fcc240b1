#include "engine/task_list.h"

#include <map>
#include <string>
#include <utility>

#include "config/virtual_preset_file.h"
#include "engine/curl.h"
#include "util/text_util.h"

int ConfiguredConnectTimeout(const CVirtualPreset_file& preset) {
  return preset.GetInt(preset.GetItem("global", "http_timeout_seconds"),
                       CCurl::kDefaultConnectTimeoutSeconds);
}

int ConfiguredConnectionsPerHost(const CVirtualPreset_file& preset) {
  return preset.GetInt(preset.GetItem("global", "max_connections_per_host"), 1);
}

std::vector<std::unique_ptr<CTask>> BuildTaskList(const CVirtualPreset_file& preset,
                                                  IStatusPrinter& output,
                                                  const std::function<void(CTask&)>& prepare) {
  std::vector<std::unique_ptr<CTask>> tasks;
  std::map<std::string, CTask*> outputs;  // label -> task, for the linking
  for (int i = 0; i < kMaxTasks; ++i) {
    const std::string inputSection = StringPrintf("Input%i", i);
    const std::string outputSection = StringPrintf("Output%i", i);
    const std::string file = preset.GetString(preset.GetItem(inputSection, "file"), "");
    const std::string type = preset.GetString(preset.GetItem(inputSection, "type"), "");
    if (file.empty() && type != "push") continue;
    auto task = std::make_unique<CTask>(output);
    prepare(*task);
    task->nIndex = static_cast<int>(tasks.size());
    task->strInputPath = file;
    task->Setup(preset, inputSection, outputSection);
    outputs[task->strLabel] = task.get();
    tasks.push_back(std::move(task));
  }
  for (const auto& task : tasks) task->LinkOutputReferences(outputs);
  return tasks;
}
