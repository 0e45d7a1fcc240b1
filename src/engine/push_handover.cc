#include "engine/push_handover.h"

#include <utility>

#include "engine/task.h"
#include "status/log_output.h"
#include "util/text_util.h"

namespace {

constexpr char kGoneAfterReload[] = "no push input has this path after the reload";
constexpr char kGoneAtStop[] = "the service is stopping";

// ASCII letter case is ignored: paths are section names, which are compared that way.
CTask* FindPushTask(const std::vector<std::unique_ptr<CTask>>& tasks, const std::string& path) {
  for (const auto& task : tasks) {
    if (task->nInputType == kInputPush && EqualsIgnoringAsciiCase(task->strPushPath, path)) {
      return task.get();
    }
  }
  return nullptr;
}

}  // namespace

void CPushHandover::TakeFrom(const std::vector<std::unique_ptr<CTask>>& tasks) {
  for (const auto& task : tasks) {
    if (task->nInputType != kInputPush) continue;
    Queue queue{task->strPushPath, task->TakeUnsentPushes()};
    if (!queue.texts.empty()) queues.push_back(std::move(queue));
  }
}

void CPushHandover::HandTo(const std::vector<std::unique_ptr<CTask>>& tasks) {
  for (Queue& queue : queues) {
    CTask* task = FindPushTask(tasks, queue.strPath);
    if (task == nullptr) {
      Drop(queue, kGoneAfterReload);
      continue;
    }
    task->PrependPushes(std::move(queue.texts));
  }
  queues.clear();
}

void CPushHandover::DropAll() {
  for (const Queue& queue : queues) Drop(queue, kGoneAtStop);
  queues.clear();
}

void CPushHandover::Drop(const Queue& queue, const char* reason) {
  const int count = static_cast<int>(queue.texts.size());
  output.Printf("HTTP push %s: %i queued %s dropped, %s\n", queue.strPath.c_str(), count,
                count == 1 ? "text" : "texts", reason);
}
