#include "check/config_check.h"

#include <libxml/parser.h>

#include <utility>

#include "engine/task_list.h"
#include "engine/url_compose.h"
#include "platform/file_system.h"
#include "status/http_server.h"
#include "status/push_target.h"
#include "status/status_printer.h"
#include "status/terminal_text.h"
#include "util/charset_text.h"
#include "util/json_text.h"
#include "util/text_util.h"
#include "util/version.h"

namespace {

// Collects the status lines the setup and the reads print, so the report can
// put them in order (or into the JSON).
class CLogCollector : public IStatusPrinter {
 public:
  explicit CLogCollector(std::string* log) : pLog(log) {}

  uint64_t VPrintf(const char* format, va_list args) override {
    return Take(format ? StringPrintfV(format, args) : std::string());
  }
  uint64_t PrintContinuation(uint64_t after, const std::string& continuation,
                             const std::string& otherwise) override {
    return Take(nTexts == after ? continuation : otherwise);
  }

 private:
  uint64_t Take(const std::string& text) {
    pLog->append(text);
    return ++nTexts;
  }

  std::string* pLog;
  uint64_t nTexts = 0;
};

// Push tasks register here instead of with a status server: nothing listens,
// and their summaries name the port the service tries first.
class CNoPushServer : public IPushTargetRegistry {
 public:
  void RegisterPushTarget(IPushTarget*) override {}
  int HttpPort() const override { return CHttpServer::kFirstPort; }
};

CheckedTask ReadTaskOnce(CTask& task) {
  CheckedTask checked;
  checked.nIndex = task.nIndex;
  checked.strLabel = task.strLabel;
  checked.nInputType = task.nInputType;
  checked.strInput = task.nInputType == kInputPush
                         ? StringPrintf("http://127.0.0.1:%i%s?set=data", CHttpServer::kFirstPort,
                                        task.strPushPath.c_str())
                         : GetAbsolutePath(task.strInputPath);
  checked.bInputRead = task.ReadInput();
  return checked;
}

// Values, results and URLs once every input has been read, so that references
// to other tasks show their results.
// Values are shown as characters; the URLs show the bytes that would be sent.
void TakeResults(const CTask& task, CheckedTask& checked) {
  const bool perPush = task.nInputType == kInputPush && !task.inputCharset;
  checked.strCharset = perPush ? "auto" : CharsetName(task.valueCharset);
  if (task.outputCharset) checked.strOutputCharset = CharsetName(*task.outputCharset);
  for (const CPlainTextParser& keyword : task.keywords) {
    checked.values.push_back({keyword.Name(), TextToUtf8(keyword.Value(), task.valueCharset)});
  }
  for (const FormatItem& format : task.formatItems) {
    checked.formats.push_back({format.strName, TextToUtf8(format.strResult, task.valueCharset)});
  }
  if (task.nInputType == kInputPush) {
    checked.vecUrls = task.vecUrls;  // composed only when a push comes
    return;
  }
  if (!checked.bInputRead) return;  // a cycle would send nothing now
  for (const std::string& url : task.vecUrls) checked.vecUrls.push_back(ComposeTaskUrl(task, url));
}

const char* SeverityName(FindingSeverity severity) {
  return severity == FindingSeverity::kError ? "error" : "warning";
}

void AppendJsonNamedList(std::string& out, const char* key,
                         const std::vector<CheckedTask::Named>& list) {
  out += StringPrintf("\"%s\":[", key);
  for (size_t i = 0; i < list.size(); ++i) {
    out += i == 0 ? "{\"name\":" : ",{\"name\":";
    out += JsonString(list[i].strName);
    out += ",\"text\":";
    out += JsonString(list[i].strText);
    out += "}";
  }
  out += "]";
}

void AppendJsonTask(std::string& out, const CheckedTask& task) {
  out += StringPrintf("{\"index\":%i,\"label\":", task.nIndex);
  out += JsonString(task.strLabel);
  out += StringPrintf(",\"type\":\"%s\",\"input\":", InputTypeName(task.nInputType));
  out += JsonString(task.strInput);
  out += StringPrintf(",\"input_read\":%s,\"charset\":\"%s\",\"output_charset\":",
                      task.bInputRead ? "true" : "false", task.strCharset.c_str());
  out += task.strOutputCharset.empty() ? "null," : "\"" + task.strOutputCharset + "\",";
  AppendJsonNamedList(out, "values", task.values);
  out += ",";
  AppendJsonNamedList(out, "formats", task.formats);
  // A push task's URLs are templates: they are composed at each push.
  out += task.nInputType == kInputPush ? ",\"url_templates\":[" : ",\"urls\":[";
  for (size_t i = 0; i < task.vecUrls.size(); ++i) {
    if (i > 0) out += ",";
    out += JsonString(task.vecUrls[i]);
  }
  out += "]}";
}

void AppendTextTask(std::string& out, const CheckedTask& task) {
  out += StringPrintf("TASK %i (%s), %s input: %s\n", task.nIndex, task.strLabel.c_str(),
                      InputTypeName(task.nInputType), task.strInput.c_str());
  const std::string sentAs = task.strOutputCharset.empty()
                                 ? std::string("the values' own bytes (no charset)")
                                 : task.strOutputCharset;
  out +=
      StringPrintf("  values read as %s; URLs carry %s\n", task.strCharset.c_str(), sentAs.c_str());
  if (task.nInputType == kInputPush) {
    out += "  waits for pushes; each push fills in and sends:\n";
    for (const std::string& url : task.vecUrls) out += "  " + url + "\n";
    return;
  }
  if (!task.bInputRead) {
    out += "  input not read (see above): nothing would be sent now\n";
    return;
  }
  for (const std::vector<CheckedTask::Named>* list : {&task.values, &task.formats}) {
    for (const CheckedTask::Named& named : *list) {
      out += StringPrintf("  %s = \"%s\"\n", named.strName.c_str(), named.strText.c_str());
    }
  }
  for (const std::string& url : task.vecUrls) out += "  would send " + url + "\n";
}

}  // namespace

CConfigCheck::CConfigCheck(std::string configPath) : strConfigPath(std::move(configPath)) {}

int CConfigCheck::Run() {
  strLog.clear();
  checkedTasks.clear();
  findings.clear();
  CLogCollector log(&strLog);
  log.Printf("\nReading config file: \"%s\"\n", strConfigPath.c_str());
  CVirtualPreset_file preset(strConfigPath);
  bReadable = preset.Load();
  if (!bReadable) {
    log.Printf("Couldn't read from file \"%s\"\n%s", strConfigPath.c_str(),
               preset.LoadFailure().ReasonLine().c_str());
    findings.push_back({FindingSeverity::kError, 0,
                        "the configuration file cannot be read: it is missing, unreadable, "
                        "empty or larger than 16 MiB"});
    nExitStatus = kCheckUnreadable;
    return nExitStatus;
  }
  xmlInitParser();
  CheckLoaded(preset, log);
  xmlCleanupParser();
  nExitStatus = ErrorCount() > 0 ? kCheckErrors : kCheckClean;
  return nExitStatus;
}

void CConfigCheck::CheckLoaded(const CVirtualPreset_file& preset, IStatusPrinter& log) {
  nConnectTimeoutSeconds = ConfiguredConnectTimeout(preset);
  log.Printf("Initializing...\n");
  CNoPushServer noServer;
  std::vector<std::unique_ptr<CTask>> tasks =
      BuildTaskList(preset, log, [&noServer](CTask& task) { task.pServer = &noServer; });
  for (const auto& task : tasks) checkedTasks.push_back(ReadTaskOnce(*task));
  for (size_t i = 0; i < tasks.size(); ++i) TakeResults(*tasks[i], checkedTasks[i]);
  findings = CConfigFindings(preset, tasks).Collect();
  for (const CheckedTask& task : checkedTasks) {
    if (task.bInputRead || task.nInputType == kInputPush || !FileExists(task.strInput)) continue;
    findings.push_back({FindingSeverity::kWarning, 0,
                        StringPrintf("input \"%s\" of task %i could not be read or parsed now",
                                     task.strInput.c_str(), task.nIndex)});
  }
}

int CConfigCheck::ErrorCount() const {
  int count = 0;
  for (const ConfigFinding& finding : findings) {
    if (finding.severity == FindingSeverity::kError) ++count;
  }
  return count;
}

int CConfigCheck::WarningCount() const { return static_cast<int>(findings.size()) - ErrorCount(); }

std::string CConfigCheck::TextReport() const {
  std::string out =
      StringPrintf("Quillrade %s configuration check: nothing is sent.\n", kQuillradeVersion);
  out += strLog;
  if (bReadable) {
    out += StringPrintf("\nConnect timeout of requests: %i s\n\n", nConnectTimeoutSeconds);
    for (const CheckedTask& task : checkedTasks) AppendTextTask(out, task);
  }
  out += findings.empty() ? "\nNo findings.\n" : "\nFindings:\n";
  for (const ConfigFinding& finding : findings) {
    const std::string where = finding.nLine > 0 ? StringPrintf("line %i: ", finding.nLine) : "";
    out += StringPrintf("  %s%s: %s\n", where.c_str(), SeverityName(finding.severity),
                        finding.strMessage.c_str());
  }
  out += StringPrintf("\n%i error(s), %i warning(s).\n", ErrorCount(), WarningCount());
  std::string visible;
  AppendWithVisibleControls(out, visible);
  return visible;
}

std::string CConfigCheck::JsonReport() const {
  std::string out = "{\"config\":";
  out += JsonString(strConfigPath);
  out += StringPrintf(",\"readable\":%s,\"exit_status\":%i,\"errors\":%i,\"warnings\":%i",
                      bReadable ? "true" : "false", nExitStatus, ErrorCount(), WarningCount());
  out += StringPrintf(",\"connect_timeout_seconds\":%i,\"tasks\":[", nConnectTimeoutSeconds);
  for (size_t i = 0; i < checkedTasks.size(); ++i) {
    if (i > 0) out += ",";
    AppendJsonTask(out, checkedTasks[i]);
  }
  out += "],\"findings\":[";
  for (size_t i = 0; i < findings.size(); ++i) {
    out += StringPrintf("%s{\"severity\":\"%s\",\"line\":%i,\"message\":", i == 0 ? "" : ",",
                        SeverityName(findings[i].severity), findings[i].nLine);
    out += JsonString(findings[i].strMessage);
    out += "}";
  }
  out += "],\"log\":";
  out += JsonString(strLog);
  out += "}\n";
  return out;
}
