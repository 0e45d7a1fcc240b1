// Composition of one outgoing URL from a task's URL template: the task's format
// results and the results its output references name go in percent-encoded, then
// the task's URL replace items act on everything after a leading "http://".
//
// Pure: reads the task (and the tasks its references point to), changes nothing.
// Main thread only, like every other reader of format results.
#ifndef QUILLRADE_ENGINE_URL_COMPOSE_H_
#define QUILLRADE_ENGINE_URL_COMPOSE_H_

#include <string>
#include <vector>

#include "util/text_util.h"

class CTask;

// "%format0%" and the like become UrlEncode of the item's result (case-sensitive
// tokens, format items first, then output references, each in order); then
// ApplyUrlReplaceList. With an output charset each result is converted first,
// from the set of the task that composed it.
std::string ComposeTaskUrl(const CTask& task, const std::string& urlTemplate);

// Applies `items` in order to the URL, except to a leading "http://" written in
// any letter case. "https://" has no such protection.
void ApplyUrlReplaceList(std::string& url, const std::vector<SearchReplaceItem>& items);

#endif  // QUILLRADE_ENGINE_URL_COMPOSE_H_
