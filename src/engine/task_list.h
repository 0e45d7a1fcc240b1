// The tasks a configuration describes, and the [global] keys that shape how
// their requests are sent: what the service runs and what the check examines are
// built by the same code, so the check shows exactly what the service would do.
//
// Threads: the thread that owns the configuration (the main thread, or the
// check's one thread).
#ifndef QUILLRADE_ENGINE_TASK_LIST_H_
#define QUILLRADE_ENGINE_TASK_LIST_H_

#include <functional>
#include <memory>
#include <vector>

#include "engine/task.h"

class CVirtualPreset_file;

// The connect timeout of outgoing requests, in seconds: [global]
// http_timeout_seconds, else its default.
int ConfiguredConnectTimeout(const CVirtualPreset_file& preset);
// Requests to one host and port at once: [global] max_connections_per_host, 1
// when absent.
int ConfiguredConnectionsPerHost(const CVirtualPreset_file& preset);

// One set-up task per Input/Output pair (all the configuration schema numbers)
// whose input has a "file" key or
// type=push, in section order, with their output references linked: the tasks
// the service runs for `preset`. Each prints to `output` (not owned; it must
// outlive the tasks). `prepare` fills what the caller provides (server, wake,
// change check) before each task's Setup, which prints its summary.
std::vector<std::unique_ptr<CTask>> BuildTaskList(const CVirtualPreset_file& preset,
                                                  IStatusPrinter& output,
                                                  const std::function<void(CTask&)>& prepare);

#endif  // QUILLRADE_ENGINE_TASK_LIST_H_
