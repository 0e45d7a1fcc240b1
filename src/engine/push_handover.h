// CPushHandover: keeps the texts that push tasks accepted (answered 200) but had
// not got answered yet when their task list goes (queued, or with a URL still
// queued, in flight or waiting for a retry in the delivery), so that none is lost
// silently. A text whose request was in flight may so be sent twice: a reload
// loses no accepted text, at the price of a rare duplicate. At a
// configuration reload the texts move, in arrival order, to the front of the new
// push task with the same push path (ASCII letter case ignored, as section names
// are compared). Texts whose path has no push task after the reload, and every
// text at a stop, are dropped with one status line per path.
//
// Ownership: holds the taken texts only; the tasks belong to the caller.
// Threads: main thread only. A task's queue is emptied and filled under the
// task's lock, so HTTP workers may push to the new tasks meanwhile.
//
// Example (a reload):
//   CPushHandover handover;
//   handover.TakeFrom(tasks);  // the old tasks have left the server's list
//   tasks.clear();
//   ... build the new tasks (they register with the server) ...
//   handover.HandTo(tasks);
#ifndef QUILLRADE_ENGINE_PUSH_HANDOVER_H_
#define QUILLRADE_ENGINE_PUSH_HANDOVER_H_

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "status/log_output.h"

class CTask;

class CPushHandover {
 public:
  // Dropped texts are reported to `output` (not owned, outlives the handover).
  explicit CPushHandover(IStatusPrinter& output = g_logOutput) : output(output) {}

  // Takes the unanswered texts out of every push task of `tasks`
  // (CTask::TakeUnsentPushes).
  // REQUIRES: no push can reach these tasks any more (the server's target list
  // no longer holds them), or a text arriving later would stay behind.
  void TakeFrom(const std::vector<std::unique_ptr<CTask>>& tasks);

  // Puts the taken texts in front of the queue of the push task of `tasks` with
  // the same path, ahead of what reached it since it was registered; drops and
  // reports the rest. Nothing is left taken afterwards. A queue may so exceed
  // CTask::kMaxPushQueueTexts for a while: accepted texts are never cut to fit,
  // and new pushes are refused until it has drained below the bound.
  void HandTo(const std::vector<std::unique_ptr<CTask>>& tasks);

  // Drops and reports every taken text: the service is stopping.
  void DropAll();

 private:
  struct Queue {
    std::string strPath;  // the old task's push path, as printed
    std::deque<std::string> texts;
  };

  void Drop(const Queue& queue, const char* reason);

  IStatusPrinter& output;
  std::vector<Queue> queues;
};

#endif  // QUILLRADE_ENGINE_PUSH_HANDOVER_H_
