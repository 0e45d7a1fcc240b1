#include "host/main_loop.h"

#include <libxml/parser.h>
#include <libxml/xmlmemory.h>
#include <libxml/xmlversion.h>

#include <algorithm>
#include <cstdint>

#include "engine/push_handover.h"
#include "engine/xml_encodings.h"
#include "host/command_line.h"
#include "host/status_channel_settings.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/wake_event.h"
#include "runtime/simple_thread.h"
#include "status/log_output.h"
#include "util/path_name.h"
#include "util/text_util.h"
#include "util/version.h"

namespace {

// The libxml2 version the XML input was written against.
constexpr int kRequiredXmlVersion = 20611;

// Milliseconds from `now` until `when`; 0 when it has passed.
int MillisecondsUntil(uint64_t when, uint64_t now) {
  return when > now ? static_cast<int>(when - now) : 0;
}

// A NUL byte silently cutting a line would drop what follows it from the tasks.
void ReportSkippedBytes(const CVirtualPreset_file& preset, const std::string& path) {
  for (const int line : preset.NulLines()) {
    g_logOutput.Printf("Config file %s: NUL byte at line %d, the rest of that line is ignored\n",
                       path.c_str(), line);
  }
}

}  // namespace

std::string DefaultConfigPath() { return WithoutExtension(GetProgramPath()) + ".ini"; }

int ConfiguredConnectTimeout(const CVirtualPreset_file& preset) {
  return preset.GetInt(preset.GetItem("global", "http_timeout_seconds"),
                       CCurl::kDefaultConnectTimeoutSeconds);
}

std::vector<std::unique_ptr<CTask>> BuildTaskList(const CVirtualPreset_file& preset,
                                                  const std::function<void(CTask&)>& prepare) {
  std::vector<std::unique_ptr<CTask>> tasks;
  std::map<std::string, CTask*> outputs;  // label -> task, for the linking
  for (int i = 0; i < CMainLoop::kMaxTasks; ++i) {
    const std::string inputSection = StringPrintf("Input%i", i);
    const std::string outputSection = StringPrintf("Output%i", i);
    const std::string file = preset.GetString(preset.GetItem(inputSection, "file"), "");
    const std::string type = preset.GetString(preset.GetItem(inputSection, "type"), "");
    if (file.empty() && type != "push") continue;
    auto task = std::make_unique<CTask>();
    prepare(*task);
    task->nIndex = static_cast<int>(tasks.size());
    task->strInputPath = file;
    task->Setup(preset, inputSection, outputSection);
    outputs[task->strLabel] = task.get();
    tasks.push_back(std::move(task));
  }
  for (const auto& task : tasks) task->LinkOutputReferences(outputs);
  return tasks;
}

CMainLoop::CMainLoop(std::string& configPath, const std::string& commandLine,
                     CFetchAbort& fetchAbort, ChangeSources sources)
    : strConfigPath(configPath),
      strCommandLine(commandLine),
      fetchAbort(fetchAbort),
      configChange(*sources.pFileStat, kMaxPresetFileBytes),
      pFileStat(sources.pFileStat),
      watcher(sources.watcher ? std::move(sources.watcher) : CreateSystemFileWatcher()) {}

CMainLoop::~CMainLoop() = default;

void CMainLoop::Run(CSimpleThread* thread) {
  pWake = &thread->WakeSignal();
  StartUp();
  if (Load(thread)) {
    while (WaitForPass(thread)) {
      if (!RunPass()) continue;
      g_logOutput.Printf("\n*** Config file update detected!\n");
      SleepMilliseconds(kReloadPauseMs);
      // Held from the change until the old targets are gone, so no push reaches
      // a task that is about to die.
      server.LockTargets();
      curl.reset();
      server.ClearTargetsLocked();
      server.UnlockTargets();
      if (!Load(thread)) break;
    }
  }
  ShutDown();
}

void CMainLoop::StartUp() {
  strConfigPath = GetCommandLineValue(strCommandLine, "ini_file", DefaultConfigPath());
  const StatusChannelSettings channels = ReadStatusChannelSettings(strConfigPath);
  TcpConsoleSettings settings;
  settings.strName = "Quillrade";
  settings.nPort = kConsolePort;
  settings.bEcho = false;
  settings.nFifoSize = kConsoleFifoBytes;
  settings.nBackBufferSize = kConsoleBackBufferBytes;
  settings.strListenAddress = channels.strListenAddress;
  console.Start(settings);
  server.SetListenSettings(channels.strListenAddress, channels.strAccessList);
  board.SetConfigPath(strConfigPath);
  board.SetConsole(&console);
  server.SetStatusBoard(&board);
  server.Start();
  board.SetHttpPort(server.Port());
  g_logOutput.AttachConsole(&console);
  g_logOutput.Printf("\nQuillrade %s by Hollend\n", kQuillradeVersion);
  ReportStatusChannelProblems(channels, server);
  xmlCheckVersion(kRequiredXmlVersion);
  xmlInitParser();
  RegisterSystemXmlEncodings();
  server.SetConfigPath(strConfigPath);
  preset = std::make_unique<CVirtualPreset_file>(strConfigPath);
}

bool CMainLoop::Load(CSimpleThread* thread) {
  // No push may reach a task from here on: the old tasks are about to go.
  server.ClearTargets();
  for (;;) {
    configChange.Take(strConfigPath);
    g_logOutput.Printf("\nReading config file: \"%s\"\n", strConfigPath.c_str());
    const bool loaded = preset->Load();
    board.RecordConfigLoad(loaded);
    ReportSkippedBytes(*preset, strConfigPath);
    if (loaded) break;
    if (!thread->IsRunning()) return false;
    g_logOutput.Printf("Couldn't read from file \"%s\"\n", strConfigPath.c_str());
    // A stop request cuts the retry pause short.
    if (!thread->Wait(kRetryMs)) return false;
  }
  BuildTasks();
  WatchFiles();
  PrintAddresses();
  nNextPassMs = GetMonotonicMilliseconds() + kPassWaitMs;
  return true;
}

void CMainLoop::BuildTasks() {
  // Texts the old push tasks accepted and have not sent yet go to the new ones.
  CPushHandover handover;
  handover.TakeFrom(tasks);
  tasks.clear();
  g_logOutput.Printf("Initializing...\n");
  tasks = BuildTaskList(*preset, [this](CTask& task) {
    task.pServer = &server;
    task.pPassWake = pWake;
    task.inputChange = CFileChangeCheck(*pFileStat);
    task.inputChange.SettleWrites(watcher.get());
  });
  handover.HandTo(tasks);
  std::vector<std::shared_ptr<CTaskStatus>> statuses;
  for (const auto& task : tasks) statuses.push_back(task->status);
  board.SetTasks(std::move(statuses));
  curl = std::make_unique<CCurl>(&fetchAbort);
  curl->SetConnectTimeout(ConfiguredConnectTimeout(*preset));
}

void CMainLoop::PrintAddresses() const {
  g_logOutput.Printf("\n");
  const int httpPort = server.Port();
  if (httpPort != 0) {
    g_logOutput.Printf("Real-time status information available at:\n\n");
    g_logOutput.Printf(" * http://127.0.0.1:%i\n", httpPort);
  }
  if (console.Port() != 0) {
    if (httpPort == 0) g_logOutput.Printf("Real-time status information available at:\n");
    g_logOutput.Printf(" * telnet://127.0.0.1:%i\n", console.Port());
  }
  g_logOutput.Printf("\nRunning Indefinitely.\n\n");
}

void CMainLoop::WatchFiles() {
  std::vector<std::string> files = {strConfigPath};
  for (const auto& task : tasks) {
    if (task->nInputType != kInputPush) files.push_back(task->strInputPath);
  }
  watcher->Watch(files);
  PrintWatchFailures();
}

void CMainLoop::PrintWatchFailures() {
  for (const WatchFailure& failure : watcher->TakeFailures()) {
    g_logOutput.Printf("Cannot watch folder \"%s\" for changes: %s. Checking it every %i ms.\n",
                       failure.strFolder.c_str(), failure.strReason.c_str(), kPassWaitMs);
  }
}

bool CMainLoop::WaitForPass(CSimpleThread* thread) {
  // Right after a woken pass, wakes only gather: a storm of writes or pushes
  // costs one pass per spacing, not one per event. Reports stay queued meanwhile.
  bool woken = false;
  for (uint64_t now = GetMonotonicMilliseconds(); now < std::min(nQuietUntilMs, nNextPassMs);
       now = GetMonotonicMilliseconds()) {
    woken = pWake->Wait(MillisecondsUntil(std::min(nQuietUntilMs, nNextPassMs), now)) || woken;
    if (!thread->IsRunning()) return false;
  }
  if (!woken) {
    woken = watcher->Wait(*pWake, MillisecondsUntil(nNextPassMs, GetMonotonicMilliseconds()));
  }
  if (!thread->IsRunning()) return false;
  PrintWatchFailures();
  if (woken) nQuietUntilMs = GetMonotonicMilliseconds() + kWokenPassSpacingMs;
  return true;
}

bool CMainLoop::RunPass() {
  uint64_t trailingEdge = UINT64_MAX;
  for (const auto& task : tasks) {
    if (task->MaySendNow(GetMonotonicMilliseconds())) {
      task->RunCycle(*curl);
      // An input waiting for its writer is looked at again when it is due.
      trailingEdge = std::min(trailingEdge, task->NextInputLookTime());
    } else {
      trailingEdge = std::min(trailingEdge, task->NextSendTime());
    }
  }
  nNextPassMs = std::min(trailingEdge, GetMonotonicMilliseconds() + kPassWaitMs);
  board.MarkPassCompleted();
  return configChange.Differs(strConfigPath);
}

void CMainLoop::ShutDown() {
  xmlCleanupParser();
  xmlMemoryDump();
  g_logOutput.AttachConsole(nullptr);
  server.RequestStop();
  console.SignalStop();
  server.Stop();
  console.Stop();
  curl.reset();
  ReportUnsentPushes();
  tasks.clear();
  preset.reset();
}

// The server has stopped, so the queues are final: say what is left unsent.
void CMainLoop::ReportUnsentPushes() {
  CPushHandover unsent;
  unsent.TakeFrom(tasks);
  unsent.DropAll();
}
