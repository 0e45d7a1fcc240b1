// Renders a StatusSnapshot as the JSON document of /status.json (described with
// an example in docs/status-json.md). Texts are made valid UTF-8 and URLs have
// their credentials masked. Pure: any thread.
#ifndef QUILLRADE_STATUS_STATUS_JSON_H_
#define QUILLRADE_STATUS_STATUS_JSON_H_

#include <string>

#include "status/status_board.h"

std::string RenderStatusJson(const StatusSnapshot& snapshot);

// "OK" or "ERROR" for the task's last request; empty when it sent none.
const char* RequestResultText(const TaskSnapshot& task);

#endif  // QUILLRADE_STATUS_STATUS_JSON_H_
