#include "status/status_json.h"

#include <cinttypes>

#include "status/delivery_health.h"
#include "status/url_mask.h"
#include "util/json_text.h"
#include "util/text_util.h"

namespace {

std::string Integer(uint64_t value) { return StringPrintf("%" PRIu64, value); }
std::string Signed(int64_t value) { return StringPrintf("%" PRId64, value); }

// Writes one JSON object member by member, with the commas between them.
class CJsonObject {
 public:
  void Member(std::string_view name, const std::string& json) {
    strText += strText.empty() ? "{" : ",";
    strText += JsonString(name) + ":" + json;
  }
  std::string Close() { return strText.empty() ? "{}" : strText + "}"; }

 private:
  std::string strText;
};

std::string Counters(const TaskCounters& counters) {
  CJsonObject failures;
  for (size_t i = 0; i < kRequestFailureKinds; ++i) {
    failures.Member(RequestFailureName(static_cast<RequestFailure>(i + 1)),
                    Integer(counters.failures[i]));
  }
  CJsonObject object;
  object.Member("input_reads", Integer(counters.nInputReads));
  object.Member("input_changes", Integer(counters.nInputChanges));
  object.Member("pushes_accepted", Integer(counters.nPushesAccepted));
  object.Member("pushes_refused", Integer(counters.nPushesRefused));
  object.Member("queued_pushes", Integer(counters.nQueuedPushes));
  object.Member("requests", Integer(counters.nRequests));
  object.Member("request_failures", failures.Close());
  object.Member("request_seconds_total", StringPrintf("%.6f", counters.dDurationSum));
  object.Member("last_success_time", Signed(counters.nLastSuccessTime));
  return object.Close();
}

std::string LastRequest(const TaskSnapshot& task) {
  if (!task.bHasRequest) return "null";
  const RequestOutcome& outcome = task.lastOutcome;
  CJsonObject object;
  object.Member("url", JsonString(MaskUrlCredentials(task.strLastUrl)));
  object.Member("result", JsonString(RequestResultText(task)));
  object.Member("curl_code", StringPrintf("%d", outcome.nCurlCode));
  object.Member("http_status", StringPrintf("%d", outcome.nHttpStatus));
  object.Member("failure", outcome.failure == RequestFailure::kNone
                               ? std::string("null")
                               : JsonString(RequestFailureName(outcome.failure)));
  object.Member("seconds", StringPrintf("%.6f", outcome.dSeconds));
  object.Member("time", Signed(outcome.nUnixTime));
  return object.Close();
}

// The requests started and not yet ended, one at most per URL slot.
std::string InFlight(const TaskSnapshot& task, const StatusSnapshot& snapshot) {
  std::string list = "[";
  for (const SlotState& slot : task.slots) {
    if (!slot.bInFlight) continue;
    CJsonObject object;
    object.Member("slot", Integer(slot.nSlot));
    object.Member("url", JsonString(MaskUrlCredentials(slot.strInFlightUrl)));
    object.Member("since", Signed(slot.nInFlightSinceUnix));
    object.Member("age_seconds", Integer(InFlightSeconds(slot, snapshot)));
    if (list.size() > 1) list += ",";
    list += object.Close();
  }
  return list + "]";
}

std::string Task(const TaskSnapshot& task, const StatusSnapshot& snapshot) {
  CJsonObject values;
  for (const auto& [name, value] : task.values) values.Member(name, JsonString(value));
  CJsonObject object;
  object.Member("index", StringPrintf("%d", task.identity.nIndex));
  object.Member("label", JsonString(task.identity.strLabel));
  object.Member("type", JsonString(task.identity.strType));
  object.Member("input_path", JsonString(task.identity.strInputPath));
  object.Member("push_path", JsonString(task.identity.strPushPath));
  object.Member("values", values.Close());
  object.Member("last_change_time", Signed(task.nLastChangeTime));
  object.Member("last_request", LastRequest(task));
  object.Member("in_flight", InFlight(task, snapshot));
  object.Member("counters", Counters(task.counters));
  return object.Close();
}

std::string Process(const StatusSnapshot& snapshot) {
  CJsonObject requests;
  for (size_t i = 0; i < kStatusPaths.size(); ++i) {
    requests.Member(kStatusPaths[i], Integer(snapshot.statusRequests[i]));
  }
  CJsonObject object;
  object.Member("version", JsonString(snapshot.strVersion));
  object.Member("start_time", Signed(snapshot.nStartTime));
  object.Member("uptime_seconds", Signed(snapshot.nNow - snapshot.nStartTime));
  object.Member("config_path", JsonString(snapshot.strConfigPath));
  object.Member("config_load_time", Signed(snapshot.nConfigLoadTime));
  object.Member("config_loads", Integer(snapshot.nConfigLoads));
  object.Member("config_load_failures", Integer(snapshot.nConfigLoadFailures));
  object.Member("http_port", StringPrintf("%d", snapshot.nHttpPort));
  object.Member("telnet_port", StringPrintf("%d", snapshot.nConsolePort));
  object.Member("console_clients", Integer(snapshot.nConsoleClients));
  object.Member("status_requests", requests.Close());
  object.Member("passing", snapshot.bPassing ? "true" : "false");
  return object.Close();
}

}  // namespace

const char* RequestResultText(const TaskSnapshot& task) {
  if (!task.bHasRequest) return "";
  return task.lastOutcome.failure == RequestFailure::kNone ? "OK" : "ERROR";
}

std::string RenderStatusJson(const StatusSnapshot& snapshot) {
  std::string tasks = "[";
  for (const TaskSnapshot& task : snapshot.tasks) {
    if (tasks.size() > 1) tasks += ",";
    tasks += "\n" + Task(task, snapshot);
  }
  tasks += "]";
  CJsonObject document;
  document.Member("process", Process(snapshot));
  document.Member("tasks", tasks);
  return document.Close() + "\n";
}
