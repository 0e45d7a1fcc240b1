// Renders a StatusSnapshot as the /tasks dashboard: one row per task with its
// current values, its last URL and result (green OK, red ERROR), the age of its
// last change and its counters. Plain HTML and CSS with no external assets; it
// reloads itself every 2 seconds. Every text from inputs, pushes or the network
// is HTML-escaped, and URLs have their credentials masked. Pure: any thread.
#ifndef QUILLRADE_STATUS_TASK_PAGE_H_
#define QUILLRADE_STATUS_TASK_PAGE_H_

#include <string>

#include "status/status_board.h"

std::string RenderTaskPage(const StatusSnapshot& snapshot);

#endif  // QUILLRADE_STATUS_TASK_PAGE_H_
