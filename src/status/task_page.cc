#include "status/task_page.h"

#include <cinttypes>
#include <string_view>

#include "status/delivery_health.h"
#include "status/http_response.h"
#include "status/status_json.h"
#include "status/terminal_text.h"
#include "status/url_mask.h"
#include "util/text_util.h"
#include "util/utf8_text.h"

namespace {

constexpr char kPageHead[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
    "<meta http-equiv=\"refresh\" content=\"2\"><title>Quillrade tasks</title>\n<style>\n"
    "body{font-family:sans-serif;margin:1em;background:#fafafa;color:#222}\n"
    "table{border-collapse:collapse;width:100%}\n"
    "th,td{border:1px solid #ccc;padding:4px 6px;text-align:left;vertical-align:top}\n"
    "th{background:#e8e8e8}\n"
    "td.url{font-family:monospace;word-break:break-all}\n"
    ".ok{background:#d4f7d4;color:#064d06;font-weight:bold}\n"
    ".error{background:#fbd3d3;color:#7a0909;font-weight:bold}\n"
    ".none{color:#777}\n"
    "dl{margin:0}dt{font-weight:bold;display:inline}dd{display:inline;margin:0 0 0 .4em}\n"
    "</style></head><body>\n";

// Escaped for HTML after being made valid UTF-8 (the page declares UTF-8), its
// control bytes shown rather than passed to the browser.
std::string Html(std::string_view text) {
  return EscapeHtml(ToValidUtf8(WithAllControlsShown(text)));
}

std::string Age(int64_t then, int64_t now) {
  if (then == 0) return "never";
  return StringPrintf("%" PRId64 " s ago", now > then ? now - then : 0);
}

std::string ValuesCell(const TaskSnapshot& task) {
  std::string cell = "<td class=\"values\">";
  for (const auto& [name, value] : task.values) {
    cell += "<div><b>" + Html(name) + "</b>: " + Html(value) + "</div>";
  }
  return cell + "</td>";
}

std::string ResultCell(const TaskSnapshot& task) {
  if (!task.bHasRequest) return "<td class=\"none\">none yet</td>";
  const RequestOutcome& outcome = task.lastOutcome;
  const bool ok = outcome.failure == RequestFailure::kNone;
  std::string detail = StringPrintf("curl %d, HTTP %d", outcome.nCurlCode, outcome.nHttpStatus);
  if (!ok) detail += std::string(", ") + RequestFailureName(outcome.failure);
  return StringPrintf("<td class=\"%s\">%s<br><small>%s</small></td>", ok ? "ok" : "error",
                      RequestResultText(task), detail.c_str());
}

std::string CountersCell(const TaskCounters& counters) {
  uint64_t failed = 0;
  for (const uint64_t count : counters.failures) failed += count;
  return StringPrintf("<td>reads %" PRIu64 ", changes %" PRIu64 "<br>requests %" PRIu64
                      ", failed %" PRIu64 "<br>pushes %" PRIu64 ", refused %" PRIu64
                      ", queued %" PRIu64 "</td>",
                      counters.nInputReads, counters.nInputChanges, counters.nRequests, failed,
                      counters.nPushesAccepted, counters.nPushesRefused, counters.nQueuedPushes);
}

// The last URL, then each slot's request in flight with its age.
std::string UrlCell(const TaskSnapshot& task, const StatusSnapshot& snapshot) {
  std::string cell = "<td class=\"url\">" + Html(MaskUrlCredentials(task.strLastUrl));
  for (const SlotState& slot : task.slots) {
    if (!slot.bInFlight) continue;
    cell += StringPrintf("<div><b>Url%" PRIu64 " in flight %" PRIu64 " s</b>: ",
                         static_cast<uint64_t>(slot.nSlot), InFlightSeconds(slot, snapshot)) +
            Html(MaskUrlCredentials(slot.strInFlightUrl)) + "</div>";
  }
  return cell + "</td>";
}

std::string TaskRow(const TaskSnapshot& task, const StatusSnapshot& snapshot) {
  const int64_t now = snapshot.nNow;
  const TaskIdentity& identity = task.identity;
  const std::string& input =
      identity.strPushPath.empty() ? identity.strInputPath : identity.strPushPath;
  std::string row = "<tr>";
  row += StringPrintf("<td>%d</td><td>%s</td><td>%s<br><small>%s</small></td>", identity.nIndex,
                      Html(identity.strLabel).c_str(), Html(identity.strType).c_str(),
                      Html(input).c_str());
  row += ValuesCell(task);
  row += UrlCell(task, snapshot);
  row += ResultCell(task);
  row += "<td>" + Age(task.nLastChangeTime, now) + "</td>";
  row += CountersCell(task.counters);
  return row + "</tr>\n";
}

}  // namespace

std::string RenderTaskPage(const StatusSnapshot& snapshot) {
  std::string page = kPageHead;
  page += StringPrintf("<h1>Quillrade %s: tasks</h1>\n", Html(snapshot.strVersion).c_str());
  page += StringPrintf("<p>Config file: %s (loaded %s). Up %" PRId64 " s. Main thread: %s.</p>\n",
                       Html(snapshot.strConfigPath).c_str(),
                       Age(snapshot.nConfigLoadTime, snapshot.nNow).c_str(),
                       snapshot.nNow - snapshot.nStartTime,
                       snapshot.bPassing ? "<span class=\"ok\">passing</span>"
                                         : "<span class=\"error\">held up</span>");
  page +=
      "<table>\n<tr><th>#</th><th>Task</th><th>Input</th><th>Values</th><th>Last URL</th>"
      "<th>Result</th><th>Last change</th><th>Counters</th></tr>\n";
  for (const TaskSnapshot& task : snapshot.tasks) page += TaskRow(task, snapshot);
  page += "</table>\n</body></html>\n";
  return page;
}
