#include "engine/push_handover.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "config/virtual_preset_file.h"
#include "engine/log_capture_support.h"
#include "engine/task.h"
#include "support/temp_dir.h"

namespace {

using Tasks = std::vector<std::unique_ptr<CTask>>;
using Texts = std::deque<std::string>;

// Real tasks from a real configuration file, sections Input0..Input<count-1>,
// without a server: pushes are handed to them directly, as a worker would.
Tasks BuildTasks(const CTempDir& dir, const std::string& ini, int count) {
  CVirtualPreset_file preset(dir.WriteFile("quillrade.ini", ini));
  EXPECT_TRUE(preset.Load());
  Tasks tasks;
  for (int i = 0; i < count; ++i) {
    const std::string input = "Input" + std::to_string(i);
    auto task = std::make_unique<CTask>();
    task->nIndex = i;
    task->strInputPath = preset.GetString(preset.GetItem(input, "file"), "");
    task->Setup(preset, input, "Output" + std::to_string(i));
    tasks.push_back(std::move(task));
  }
  return tasks;
}

Texts QueueOf(CTask& task) {
  Texts texts = task.TakeUnsentPushes();
  task.PrependPushes(texts);
  return texts;
}

TEST(CPushHandoverTest, QueuedTextsFollowTheirPathOrAreReportedDropped) {
  CTempDir dir;
  CLogCapture capture;
  Tasks old = BuildTasks(dir, "[Input0]\ntype=push\n[Input1]\ntype=push\n[Input2]\ntype=push\n", 3);
  for (const char* text : {"a1", "a2", "a3"}) old[0]->ReceivePush(text);
  for (const char* text : {"b1", "b2"}) old[1]->ReceivePush(text);
  old[2]->ReceivePush("c1");
  CPushHandover handover;
  handover.TakeFrom(old);
  EXPECT_TRUE(QueueOf(*old[0]).empty());
  old.clear();

  // Input0 keeps its path under another spelling of its section; Input1 turns
  // into a file input; Input2 is gone.
  const std::string file = dir.WriteFile("a.txt", "x\n");
  Tasks next = BuildTasks(dir, "[INPUT0]\ntype=push\n[Input1]\nfile=" + file + "\n", 2);
  next[0]->ReceivePush("since the reload");
  capture.Clear();
  handover.HandTo(next);

  EXPECT_EQ(QueueOf(*next[0]), (Texts{"a1", "a2", "a3", "since the reload"}));
  EXPECT_TRUE(QueueOf(*next[1]).empty());
  EXPECT_EQ(
      capture.Text(),
      "HTTP push /input1: 2 queued texts dropped, no push input has this path after the reload\n"
      "HTTP push /input2: 1 queued text dropped, no push input has this path after the reload\n");

  // Nothing stays taken; a stop reports what is still queued, and nothing for an
  // empty queue.
  capture.Clear();
  handover.DropAll();
  EXPECT_EQ(capture.Text(), "");
  CPushHandover stop;
  stop.TakeFrom(next);
  stop.DropAll();
  EXPECT_EQ(capture.Text(), "HTTP push /input0: 4 queued texts dropped, the service is stopping\n");
}

}  // namespace
