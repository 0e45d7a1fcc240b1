#include "status/metrics_text.h"

#include <cinttypes>
#include <string_view>

#include "util/text_util.h"
#include "util/utf8_text.h"

namespace {

// Label values escape backslash, double quote and line feed.
std::string LabelValue(std::string_view text) {
  std::string escaped;
  for (const char c : ToValidUtf8(text)) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

// Builds the text family by family: a family's HELP and TYPE lines come once,
// before all of its samples.
class CMetricsWriter {
 public:
  void Family(const char* name, const char* type, const char* help) {
    strText += StringPrintf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
  }
  void Sample(std::string_view name, const std::string& labels, const std::string& value) {
    strText.append(name);
    if (!labels.empty()) strText += "{" + labels + "}";
    strText += " " + value + "\n";
  }
  std::string Take() { return std::move(strText); }

 private:
  std::string strText;
};

std::string Integer(uint64_t value) { return StringPrintf("%" PRIu64, value); }
std::string Signed(int64_t value) { return StringPrintf("%" PRId64, value); }
std::string Decimal(double value) { return StringPrintf("%.6f", value); }

std::string TaskLabels(const TaskSnapshot& task) {
  return StringPrintf("task=\"%s\",index=\"%d\"", LabelValue(task.identity.strLabel).c_str(),
                      task.identity.nIndex);
}

void WriteProcess(CMetricsWriter& out, const StatusSnapshot& snapshot) {
  out.Family("quillrade_build_info", "gauge", "Always 1; the version is its label.");
  out.Sample("quillrade_build_info", "version=\"" + LabelValue(snapshot.strVersion) + "\"", "1");
  out.Family("quillrade_start_time_seconds", "gauge", "When the process started, in unix time.");
  out.Sample("quillrade_start_time_seconds", "", Signed(snapshot.nStartTime));
  out.Family("quillrade_config_loads_total", "counter", "Configuration loads that succeeded.");
  out.Sample("quillrade_config_loads_total", "", Integer(snapshot.nConfigLoads));
  out.Family("quillrade_config_load_failures_total", "counter",
             "Attempts to read the configuration file that failed.");
  out.Sample("quillrade_config_load_failures_total", "", Integer(snapshot.nConfigLoadFailures));
  out.Family("quillrade_config_last_load_timestamp_seconds", "gauge",
             "When the configuration was last loaded, in unix time (0: never).");
  out.Sample("quillrade_config_last_load_timestamp_seconds", "", Signed(snapshot.nConfigLoadTime));
  out.Family("quillrade_status_requests_total", "counter",
             "Requests the status server answered, by path.");
  for (size_t i = 0; i < kStatusPaths.size(); ++i) {
    out.Sample("quillrade_status_requests_total", "path=\"" + std::string(kStatusPaths[i]) + "\"",
               Integer(snapshot.statusRequests[i]));
  }
  out.Family("quillrade_status_requests_refused_total", "counter",
             "Requests the status server refused for want of the access token, by cause.");
  for (size_t i = 0; i < kAccessRefusalNames.size(); ++i) {
    out.Sample("quillrade_status_requests_refused_total",
               "cause=\"" + std::string(kAccessRefusalNames[i]) + "\"",
               Integer(snapshot.refusedRequests[i]));
  }
  out.Family("quillrade_console_clients", "gauge", "Clients connected to the telnet feed now.");
  out.Sample("quillrade_console_clients", "", Integer(snapshot.nConsoleClients));
  out.Family("quillrade_main_thread_passing", "gauge",
             "1 while the main thread completes its passes, 0 when it is held up.");
  out.Sample("quillrade_main_thread_passing", "", snapshot.bPassing ? "1" : "0");
  out.Family("quillrade_tasks", "gauge", "Tasks of the running configuration.");
  out.Sample("quillrade_tasks", "", Integer(snapshot.tasks.size()));
}

// One family with one sample per task, read from the task's counters.
template <typename Read>
void WriteTaskFamily(CMetricsWriter& out, const StatusSnapshot& snapshot, const char* name,
                     const char* type, const char* help, Read read) {
  out.Family(name, type, help);
  for (const TaskSnapshot& task : snapshot.tasks) out.Sample(name, TaskLabels(task), read(task));
}

void WriteFailures(CMetricsWriter& out, const StatusSnapshot& snapshot) {
  constexpr char kName[] = "quillrade_task_request_failures_total";
  out.Family(kName, "counter", "Requests that failed, by cause.");
  for (const TaskSnapshot& task : snapshot.tasks) {
    for (size_t i = 0; i < kRequestFailureKinds; ++i) {
      const auto failure = static_cast<RequestFailure>(i + 1);
      out.Sample(kName, TaskLabels(task) + ",cause=\"" + RequestFailureName(failure) + "\"",
                 Integer(task.counters.failures[i]));
    }
  }
}

void WriteDurations(CMetricsWriter& out, const StatusSnapshot& snapshot) {
  constexpr char kName[] = "quillrade_task_request_duration_seconds";
  out.Family(kName, "histogram", "How long requests took, connect included.");
  for (const TaskSnapshot& task : snapshot.tasks) {
    const std::string labels = TaskLabels(task);
    uint64_t cumulative = 0;
    for (size_t i = 0; i < task.counters.durationBuckets.size(); ++i) {
      cumulative += task.counters.durationBuckets[i];
      const std::string bound = i < kRequestSecondsBuckets.size()
                                    ? StringPrintf("%g", kRequestSecondsBuckets[i])
                                    : std::string("+Inf");
      out.Sample(std::string(kName) + "_bucket", labels + ",le=\"" + bound + "\"",
                 Integer(cumulative));
    }
    out.Sample(std::string(kName) + "_sum", labels, Decimal(task.counters.dDurationSum));
    out.Sample(std::string(kName) + "_count", labels, Integer(cumulative));
  }
}

void WriteTasks(CMetricsWriter& out, const StatusSnapshot& snapshot) {
  WriteTaskFamily(out, snapshot, "quillrade_task_input_reads_total", "counter",
                  "Input files read and pushed texts taken.",
                  [](const TaskSnapshot& t) { return Integer(t.counters.nInputReads); });
  WriteTaskFamily(out, snapshot, "quillrade_task_input_changes_total", "counter",
                  "Inputs whose new content recomputed the values.",
                  [](const TaskSnapshot& t) { return Integer(t.counters.nInputChanges); });
  WriteTaskFamily(out, snapshot, "quillrade_task_pushes_accepted_total", "counter",
                  "Pushed texts queued.",
                  [](const TaskSnapshot& t) { return Integer(t.counters.nPushesAccepted); });
  WriteTaskFamily(out, snapshot, "quillrade_task_pushes_refused_total", "counter",
                  "Pushed texts refused with 503 because the queue was full.",
                  [](const TaskSnapshot& t) { return Integer(t.counters.nPushesRefused); });
  WriteTaskFamily(out, snapshot, "quillrade_task_queued_pushes", "gauge",
                  "Pushed texts waiting now.",
                  [](const TaskSnapshot& t) { return Integer(t.counters.nQueuedPushes); });
  WriteTaskFamily(out, snapshot, "quillrade_task_requests_total", "counter",
                  "Requests sent, retries included.",
                  [](const TaskSnapshot& t) { return Integer(t.counters.nRequests); });
  WriteTaskFamily(out, snapshot, "quillrade_task_requests_in_flight", "gauge",
                  "Requests started and not yet ended, one at most per URL slot.",
                  [](const TaskSnapshot& t) { return Integer(t.nInFlight); });
  WriteFailures(out, snapshot);
  WriteDurations(out, snapshot);
  WriteTaskFamily(out, snapshot, "quillrade_task_last_success_timestamp_seconds", "gauge",
                  "When a request last succeeded, in unix time (0: never).",
                  [](const TaskSnapshot& t) { return Signed(t.counters.nLastSuccessTime); });
}

}  // namespace

std::string RenderMetricsText(const StatusSnapshot& snapshot) {
  CMetricsWriter out;
  WriteProcess(out, snapshot);
  WriteTasks(out, snapshot);
  return out.Take();
}
