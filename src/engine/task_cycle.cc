// The task cycle: deciding whether a task has new input, the pushed-text path,
// composing and sending the URLs, and binding cross-task output references.
#include <libxml/parser.h>

#include <chrono>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

#include "config/file_helpers.h"
#include "engine/delivery.h"
#include "engine/task.h"
#include "engine/url_compose.h"
#include "engine/xml_input.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/wake_event.h"
#include "status/log_output.h"
#include "status/terminal_text.h"
#include "util/time_format.h"

namespace {

// An XML input is read in one go up to this size; a larger file is cut and then
// normally fails to parse.
constexpr size_t kMaxXmlInputBytes = 65536;
// Both kinds are read whole up to that size before any of it is used; the 100
// plain text lines of at most 255 bytes each fit too.
constexpr size_t kMaxInputBytes = kMaxXmlInputBytes;
// A document is never allowed to make the parser reach out to the network.
constexpr int kXmlParseOptions = XML_PARSE_NONET;
// Start of an output reference token: "%outputN:formatM%".
constexpr std::string_view kOutputWord = "%output";

struct XmlDocDeleter {
  void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

// A read that failed once the file was open is abandoned: the values stay as they
// were and the URLs are pushed as after any abandoned read. One line says why.
void ReportReadError(const CTask& task, const CResult& read) {
  task.Output().Printf("Error reading %s: %s\n", task.strInputPath.c_str(), read.Detail().c_str());
}

// An input that exists but cannot be opened is skipped without a word otherwise;
// said once for each change of it.
void ReportUnopenable(const CTask& task, const CResult& open) {
  task.Output().Printf("Input %s cannot be read: %s. Skipped until it changes.\n",
                       task.strInputPath.c_str(), open.Detail().c_str());
}

// Reads the input whole; false when it is not to be used now: not opened (this
// change is skipped), or written while it was read (it is read again once its
// writer is done). True with `bytes` empty and `read` failed after a read error.
bool ReadWholeInput(CTask& task, std::string* bytes, CResult* read) {
  *read = ReadFileBytes(task.strInputPath, kMaxInputBytes, bytes);
  if (!read->ok() && read->Code() != CResultCode::kIoError) {
    ReportUnopenable(task, *read);
    return false;
  }
  if (read->ok() && !task.inputChange.StillTaken(task.strInputPath)) {
    task.inputChange.Forget();
    return false;
  }
  task.status->CountInputRead();
  if (!read->ok()) ReportReadError(task, *read);
  return true;
}

// Reads a plain text input; true when the URLs are to be sent after it.
bool ReadPlainTextInput(CTask& task) {
  std::string bytes;
  CResult read;
  if (!ReadWholeInput(task, &bytes, &read)) return false;
  // A failed read changes no value; the URLs still go out.
  if (!read.ok()) return true;
  CTextFileReader file;
  file.OpenBytes(std::move(bytes));
  task.ParsePlainText(file);
  return true;
}

// Reads an XML input; true when the URLs are to be sent after it.
bool ReadXmlInput(CTask& task) {
  std::string bytes;
  CResult read;
  if (!ReadWholeInput(task, &bytes, &read)) return false;
  if (!read.ok()) return true;
  XmlDocPtr document(xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                   kXmlParseOptions));
  // A document whose entities would expand beyond bounds is refused like one
  // that does not parse, before anything is read from it.
  if (!document || !XmlExpansionsWithinLimits(document.get())) {
    task.Output().Printf("Error parsing XML in %s\n", task.strInputPath.c_str());
    return false;
  }
  task.ParseXml(document.get());
  return true;
}

}  // namespace

void CTask::AttachDelivery(CDelivery& delivery) {
  pDelivery = &delivery;
  CDelivery::ClientOptions options;
  options.status = status;
  options.bLatestWins = nInputType != kInputPush;
  options.bRetries = bRetryUnreachable;
  options.strLabel = strLabel;
  nDeliveryClient = delivery.AddClient(std::move(options));
}

void CTask::RunCycle() {
  const CLogTaskScope scope(strLabel);
  if (nInputType == kInputPush) {
    const std::string text = TakePushedText();
    if (text.empty()) return;
    ParsePushedText(text);
    PushUrls(&text);
    return;
  }
  const FileVersion version = inputChange.Compare(strInputPath);
  // A file its writer may still be writing waits, reprocessing included.
  if (version == FileVersion::kMissing || version == FileVersion::kSettling) return;
  if (version == FileVersion::kSame && !bReprocess) return;
  inputChange.Take(strInputPath);
  bReprocess = false;
  if (ReadInput()) PushUrls();
}

// The lock is held for the queue operation only.
std::string CTask::TakePushedText() {
  CGrabSimpleMutex hold(&lock, "CTask::RunCycle");
  if (pushQueue.empty()) return {};
  std::string text = std::move(pushQueue.front());
  pushQueue.pop_front();
  status->SetQueuedPushes(pushQueue.size());
  status->CountInputRead();
  return text;
}

std::deque<std::string> CTask::TakeUnsentPushes() {
  std::deque<std::string> texts;
  if (pDelivery != nullptr) {
    for (std::string& text : pDelivery->TakeUnansweredTexts(nDeliveryClient)) {
      texts.push_back(std::move(text));
    }
  }
  CGrabSimpleMutex hold(&lock, "CTask::TakeUnsentPushes");
  for (std::string& text : pushQueue) texts.push_back(std::move(text));
  pushQueue.clear();
  status->SetQueuedPushes(0);
  return texts;
}

void CTask::PrependPushes(std::deque<std::string> texts) {
  CGrabSimpleMutex hold(&lock, "CTask::PrependPushes");
  pushQueue.insert(pushQueue.begin(), std::make_move_iterator(texts.begin()),
                   std::make_move_iterator(texts.end()));
  status->SetQueuedPushes(pushQueue.size());
}

size_t CTask::QueuedPushes() const {
  CGrabSimpleMutex hold(&lock, "CTask::QueuedPushes");
  return pushQueue.size();
}

bool CTask::ReadInput() {
  if (nInputType == kInputPush) return false;
  return nInputType == kInputXml ? ReadXmlInput(*this) : ReadPlainTextInput(*this);
}

bool CTask::ReceivePush(const std::string& text) {
  const CLogTaskScope scope(strLabel);
  // The pusher's line ends would start forged status lines: shown, not obeyed.
  output.Printf("HTTP push %s: %s\n", strPushPath.c_str(), WithLineEndsShown(text).c_str());
  {
    CGrabSimpleMutex hold(&lock, "CTask::ReceivePush");
    if (pushQueue.size() < kMaxPushQueueTexts) {
      pushQueue.push_back(text);
      status->CountPush(true, pushQueue.size());
      if (pPassWake != nullptr) pPassWake->Set();
      return true;
    }
    status->CountPush(false, pushQueue.size());
  }
  output.Printf("HTTP push %s: queue full, text dropped\n", strPushPath.c_str());
  return false;
}

void CTask::ParsePushedText(const std::string& text) {
  valueCharset = ResolveCharset(inputCharset, text);
  Recompute(std::vector<std::string>{text});
  PublishValues();
  for (const FormatItem& item : formatItems) {
    output.Printf("%s: %s\n", item.strName.c_str(), item.strResult.c_str());
  }
}

void CTask::ParseXml(struct _xmlDoc* document) {
  output.Printf("\n%s: TASK %i (xml parsing)\n\n", LocalTimestamp().c_str(), nIndex);
  const XmlValueFilter filter = [this](std::string& value) { ApplyXmlValueFilters(value); };
  for (FormatItem& item : formatItems) {
    std::string result = item.strTemplate;
    SubstituteXmlTokens(result, document, XmlPass::kAttribute, filter);
    SubstituteXmlTokens(result, document, XmlPass::kElement, filter);
    ApplyReplaceItems(result, valueReplaceList);
    item.strResult = std::move(result);
    output.Printf("[%s] %s: %s\n", strLabel.c_str(), item.strName.c_str(), item.strResult.c_str());
  }
  PublishValues();
}

void CTask::PushUrls(const std::string* pushedText) {
  for (CTask* dependent : dependents) dependent->bReprocess = true;
  if (pDelivery == nullptr) return;
  std::vector<std::string> urls;
  urls.reserve(vecUrls.size());
  for (const std::string& urlTemplate : vecUrls) urls.push_back(ComposeTaskUrl(*this, urlTemplate));
  pDelivery->Send(nDeliveryClient, urls, pushedText);
}

bool CTask::MaySendNow(uint64_t nowMs) const {
  return pDelivery == nullptr || pDelivery->MaySend(nDeliveryClient, nowMs);
}

uint64_t CTask::NextSendTime() const {
  return pDelivery != nullptr ? pDelivery->NextSendTime(nDeliveryClient) : 0;
}

// A token is bound once: its first binding replaces every occurrence, so further
// bindings of the same token could never have an effect, and a URL repeating a
// token many times cannot make the list (and every push) grow with it. N names a
// task by its exact label, M the first of its format items whose name begins
// with M (letter case ignored).
void CTask::BindOutputReference(const std::string& token,
                                const std::map<std::string, CTask*>& outputs,
                                std::set<std::string>& seenTokens) {
  if (!seenTokens.insert(token).second) return;
  const size_t colon = token.find(':');
  const auto found = outputs.find(token.substr(1, colon - 1));
  if (found == outputs.end() || found->second == nullptr) return;
  CTask* referenced = found->second;
  const std::string formatName = token.substr(colon + 1, token.size() - colon - 2);
  for (const FormatItem& item : referenced->formatItems) {
    if (FindNoCase(item.strName, formatName) != 0) continue;
    outputReferences.push_back({token, &item, referenced});
    referenced->dependents.insert(this);
    return;
  }
}

void CTask::LinkOutputReferences(const std::map<std::string, CTask*>& outputs) {
  std::set<std::string> seenTokens;
  for (const OutputReference& reference : outputReferences) seenTokens.insert(reference.strToken);
  for (std::string& url : vecUrls) {
    for (const std::string& token : FindOutputReferenceTokens(url)) {
      BindOutputReference(token, outputs, seenTokens);
    }
  }
}

std::vector<std::string> FindOutputReferenceTokens(std::string& url) {
  ReplaceAllNoCase(url, kOutputWord, kOutputWord);
  std::vector<std::string> tokens;
  for (size_t pos = 0;;) {
    const size_t start = url.find(kOutputWord, pos);
    if (start == std::string::npos) break;
    const size_t colon = url.find(':', start);
    if (colon == std::string::npos) break;
    const size_t close = url.find('%', colon + 1);
    if (close == std::string::npos) break;
    tokens.push_back(url.substr(start, close + 1 - start));
    pos = start + 1;
  }
  return tokens;
}
