#include "engine/task_list.h"

#include <map>
#include <string>
#include <utility>

#include "config/config_schema.h"
#include "config/virtual_preset_file.h"

int ConfiguredConnectTimeout(const CVirtualPreset_file& preset) {
  const ConfigKey& key = SchemaKey(ConfigSection::kGlobal, "http_timeout_seconds");
  return preset.GetInt(preset.GetItem(kGlobalSection, key.strName), key.nDefault);
}

int ConfiguredConnectionsPerHost(const CVirtualPreset_file& preset) {
  const ConfigKey& key = SchemaKey(ConfigSection::kGlobal, "max_connections_per_host");
  return preset.GetInt(preset.GetItem(kGlobalSection, key.strName), key.nDefault);
}

std::vector<std::unique_ptr<CTask>> BuildTaskList(const CVirtualPreset_file& preset,
                                                  IStatusPrinter& output,
                                                  const std::function<void(CTask&)>& prepare) {
  std::vector<std::unique_ptr<CTask>> tasks;
  std::map<std::string, CTask*> outputs;  // label -> task, for the linking
  for (int i = 0; i < kConfigPairCount; ++i) {
    const std::string inputSection = ConfigSectionName(ConfigSection::kInput, i);
    const std::string outputSection = ConfigSectionName(ConfigSection::kOutput, i);
    const std::string file = preset.GetString(
        preset.GetItem(inputSection, SchemaKey(ConfigSection::kInput, "file").strName), "");
    const std::string type = preset.GetString(
        preset.GetItem(inputSection, SchemaKey(ConfigSection::kInput, "type").strName), "");
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
