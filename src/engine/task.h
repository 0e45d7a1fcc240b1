// CTask: one input (plain text file, XML file or pushed text) joined to one output
// definition (format strings, URL templates, search-and-replace items). Its data
// flows input -> values (keywords, XML tokens) -> format results -> URLs
// (url_compose.h) -> delivery (delivery.h). The setup's fields are read directly
// by the engine's operations; the state that changes while the task runs (push
// queue, reprocess flag, references) is private behind the operations below.
//
// Ownership: the main thread creates a task, sets pServer, nIndex and strInputPath,
// calls Setup once, attaches it to the delivery, runs it every pass (RunCycle) and
// destroys it at the next configuration reload. A task owns its lists, keyword
// definitions and push queue. pServer, the delivery, the output references and
// the dependents are non-owning pointers.
//
// Threads: everything runs on the main thread, except ReceivePush, which HTTP
// worker threads call; pushQueue is guarded by `lock`. Lock order: the server's
// target-list lock, then a task's lock. Non-copyable (holds a mutex).
#ifndef QUILLRADE_ENGINE_TASK_H_
#define QUILLRADE_ENGINE_TASK_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/file_change_check.h"
#include "engine/plain_text_parser.h"
#include "runtime/simple_mutex.h"
#include "status/log_output.h"
#include "status/push_target.h"
#include "status/task_status.h"
#include "util/text_util.h"

class CDelivery;
class CTask;
class CTextFileReader;
class CVirtualPreset_file;
class CWakeEvent;
struct _xmlDoc;

// Input types, as the input section's "type" key selects them.
constexpr int kInputPlainText = 0;
constexpr int kInputXml = 1;
constexpr int kInputPush = 2;

// The input type as the observability pages and the check's JSON name it:
// "plain_text", "xml" or "push".
const char* InputTypeName(int inputType);

// One output text: name "format%i", the template with every double quote removed,
// and the last composed result (empty until composed).
struct FormatItem {
  std::string strName;
  std::string strTemplate;
  std::string strResult;
};

// A "%outputN:formatM%" token of this task's URLs bound to another task's format
// item. Both pointers are non-owning and live as long as the task list.
struct OutputReference {
  std::string strToken;
  const FormatItem* pFormat = nullptr;
  CTask* pTask = nullptr;
};

class CTask : public IPushTarget {
 public:
  // Lines read from a plain text file: at most this many count.
  static constexpr size_t kMaxPlainTextLines = 100;
  // A plain text line may hold at most this many bytes, its line feed included (a
  // CR LF pair counts as one byte); a longer line abandons the whole read.
  static constexpr size_t kMaxPlainTextLineBytes = 200;
  // Buffer a plain text line is read into (one byte for the terminating NUL).
  static constexpr size_t kPlainTextBufferBytes = 256;
  // A push task holds at most this many waiting texts; more are dropped, so a
  // flood of pushes cannot exhaust memory while the main thread is busy.
  static constexpr size_t kMaxPushQueueTexts = 1000;

  // Every status text of the task goes to `output` (not owned, outlives the
  // task; HTTP workers print through it too).
  explicit CTask(IStatusPrinter& output = g_logOutput);
  virtual ~CTask();
  CTask(const CTask&) = delete;
  CTask& operator=(const CTask&) = delete;

  // Fills the task from the configuration's sections `inputSection` ("Input%i")
  // and `outputSection` ("Output%i") and prints its summary. Main thread, once,
  // after pServer, nIndex and strInputPath are set. Registers a push task with
  // pServer (when not null).
  void Setup(const CVirtualPreset_file& preset, const std::string& inputSection,
             const std::string& outputSection);

  // Reads up to 100 lines from an opened plain text file; when they differ from
  // previousLines, prints the header, recomputes and prints every result.
  void ParsePlainText(CTextFileReader& file);

  // The one recomputation: evaluates every keyword against `lines`, applies the
  // value replace list and trim to each non-empty value, then composes every
  // format item. Prints nothing.
  void Recompute(const std::vector<std::string>& lines);

  // The XML tasks' value filters with this task's flags and value replace list.
  void ApplyXmlValueFilters(std::string& value) const;

  // Reads the input file once as a cycle does (printing what it found) and
  // recomputes; sends nothing. True when a cycle would send the URLs now; always
  // false for a push task.
  bool ReadInput();

  // Makes the task a client of `delivery` (not owned; outlives the task), which
  // sends its URLs from now on. Main thread, once, after Setup.
  void AttachDelivery(CDelivery& delivery);

  // One pass of the task cycle: new input? recompute, then PushUrls. Needs the
  // delivery (AttachDelivery).
  void RunCycle();

  // IPushTarget.
  const std::string& PushPath() const override { return strPushPath; }
  // Prints "HTTP push %s: %s\n", queues the text under `lock` and sets
  // pPassWake. When kMaxPushQueueTexts are already waiting, prints
  // "HTTP push %s: queue full, text dropped\n" and returns false.
  bool ReceivePush(const std::string& text) override;

  // Recomputes from one pushed text (a single line) and prints "%s: %s\n" for
  // every format item.
  void ParsePushedText(const std::string& text);

  // Marks the dependents for reprocessing, then composes every URL and hands them
  // to the delivery as one send; `pushedText` is the text they come from (push
  // tasks), so that a reload can hand it on while it is not answered.
  void PushUrls(const std::string* pushedText = nullptr);

  // True when the delivery lets the task send at `nowMs` (monotonic
  // milliseconds): its last send lies CDelivery::kMinSendIntervalMs back.
  bool MaySendNow(uint64_t nowMs) const;
  // The first instant MaySendNow holds again: the trailing edge at which the
  // main loop serves a task whose turn it had to defer.
  uint64_t NextSendTime() const;
  // When the input, changed but perhaps not yet fully written, is to be looked
  // at again; UINT64_MAX when it is not waiting for its writer.
  uint64_t NextInputLookTime() const { return inputChange.NextLookMs(); }

  // Binds the "%output" tokens of this task's URLs to other tasks' format items;
  // `outputs` maps each task's label to the task.
  void LinkOutputReferences(const std::map<std::string, CTask*>& outputs);

  // Recomputes every format item from a parsed XML document and prints results.
  void ParseXml(struct _xmlDoc* document);

  // Set by the main thread before Setup.
  IPushTargetRegistry* pServer = nullptr;
  CWakeEvent* pPassWake = nullptr;  // set for every queued push; not owned
  int nIndex = 0;
  std::string strInputPath;  // as configured; not made absolute

  IStatusPrinter& Output() const { return output; }

  // Set by Setup, constant after.
  std::string strLabel;  // output section name in lower case ("output0")
  std::vector<SearchReplaceItem> valueReplaceList;
  std::vector<SearchReplaceItem> urlReplaceList;
  std::vector<std::string> vecUrls;
  std::vector<FormatItem> formatItems;     // results change at each recomputation
  std::vector<CPlainTextParser> keywords;  // plain text and push tasks only
  int nInputType = kInputPlainText;
  std::string strPushPath;  // push tasks only: "/input0"
  // The set the input's texts are in ("charset"; nullopt: auto, decided for
  // each text read) and the set the output's targets expect (nullopt: results
  // are sent as the bytes they are). An XML input's values are UTF-8.
  std::optional<TextCharset> inputCharset;
  std::optional<TextCharset> outputCharset;

  // Set by LinkOutputReferences (of this task and of others).
  const std::vector<OutputReference>& OutputReferences() const { return outputReferences; }
  const std::set<CTask*>& Dependents() const { return dependents; }

  // Push tasks: every text accepted and not answered yet, oldest first: those
  // the delivery still has (queued, in flight, waiting for a retry), then the
  // queued ones. They leave the task. Main thread.
  std::deque<std::string> TakeUnsentPushes();
  // Puts `texts` in front of the push queue, ahead of what arrived meanwhile.
  void PrependPushes(std::deque<std::string> texts);
  size_t QueuedPushes() const;

  // Main thread only.
  std::vector<std::string> previousLines;  // lines of the last completed read
  // The set the current values and results are in.
  TextCharset valueCharset = SystemSingleByteCharset();
  CFileChangeCheck inputChange;  // the input file's version last read
  bool bXmlTrim = false;
  bool bXmlUppercase = false;
  bool bXmlFilterAccents = false;
  bool bXmlFilterQuotes = false;
  // Unanswered URLs are tried again: "[global] retry_unreachable_targets" (on
  // unless 0). Read by AttachDelivery.
  bool bRetryUnreachable = true;

  // What the observability pages show of this task: counters, current values,
  // the last request. Shared with the status board; any thread records into it.
  const std::shared_ptr<CTaskStatus> status = std::make_shared<CTaskStatus>();

 private:
  // Takes the oldest queued text, or an empty text when none waits.
  std::string TakePushedText();
  // Binds one "%outputN:formatM%" token of this task's URLs.
  void BindOutputReference(const std::string& token, const std::map<std::string, CTask*>& outputs,
                           std::set<std::string>& seenTokens);
  // Setup steps.
  void ReadInputDescription(const std::string& inputSection);
  void ReadKeywordsOrXmlFlags(const CVirtualPreset_file& preset, const std::string& inputSection);
  void ReadCharsets(const CVirtualPreset_file& preset, const std::string& inputSection,
                    const std::string& outputSection);
  void ReadNumberedItems(const CVirtualPreset_file& preset, const std::string& inputSection,
                         const std::string& outputSection);
  void PrintSummaryCounts() const;
  // Composes every format item from its template and the keyword values.
  void ComposeFormats();
  // Counts a recomputation and shows the new values on the observability pages.
  void PublishValues();

  IStatusPrinter& output;
  std::vector<OutputReference> outputReferences;
  std::set<CTask*> dependents;

  mutable CSimpleMutex lock;
  std::deque<std::string> pushQueue QR_GUARDED_BY(lock);

  // Main thread only: read the input again at the next cycle.
  bool bReprocess = false;
  // Main thread only: the delivery and this task's client number in it.
  CDelivery* pDelivery = nullptr;
  int nDeliveryClient = -1;
};

// Parses a Replace%i value: pieces split at commas outside double quotes, trimmed
// and unquoted; the first is the search text, the second (or nothing) the
// replacement.
SearchReplaceItem ParseReplaceItem(const std::string& value);

// Lower-cases every "%output" of `url` in place, as linking does, and returns its
// "%outputN:formatM%" tokens in order (repeats included).
std::vector<std::string> FindOutputReferenceTokens(std::string& url);

// The five items every replace list starts with: line ends become "[CR]", tabs
// "[TAB]".
const std::vector<SearchReplaceItem>& BuiltInReplaceItems();

#endif  // QUILLRADE_ENGINE_TASK_H_
