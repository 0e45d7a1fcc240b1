#include "host/main_loop.h"

#include <libxml/parser.h>
#include <libxml/xmlmemory.h>
#include <libxml/xmlversion.h>

#include <algorithm>
#include <cstdint>

#include "engine/push_handover.h"
#include "engine/task_list.h"
#include "engine/xml_encodings.h"
#include "host/command_line.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/wake_event.h"
#include "runtime/simple_thread.h"
#include "status/log_output.h"
#include "status/status_channel_settings.h"
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

CMainLoop::CMainLoop(std::string& configPath, const std::vector<std::string>& arguments,
                     CFetchAbort& fetchAbort, ChangeSources sources)
    : strConfigPath(configPath),
      vecArguments(arguments),
      delivery(&fetchAbort),
      configChange(*sources.pFileStat, kMaxPresetFileBytes),
      pFileStat(sources.pFileStat),
      watcher(sources.watcher ? std::move(sources.watcher) : CreateSystemFileWatcher()) {}

CMainLoop::~CMainLoop() = default;

void CMainLoop::Run(CSimpleThread* thread) {
  pWake = &thread->WakeSignal();
  pWake->WakeOnTransfers(&delivery.Sockets());
  StartUp();
  if (Load(thread)) {
    while (WaitForPass(thread)) {
      const bool changed = RunPass();
      const bool requested = pReloadRequest != nullptr && pReloadRequest->exchange(false);
      if (!changed && !requested) continue;
      AnnounceReload(thread, requested);
      // Held from the change until the old targets are gone, so no push reaches
      // a task that is about to die.
      server.LockTargets();
      server.ClearTargetsLocked();
      server.UnlockTargets();
      if (!Load(thread)) break;
    }
  }
  ShutDown();
}

// A requested reload comes at once: the file is complete, or the request is
// about something other than its content (such as its permissions).
void CMainLoop::AnnounceReload(CSimpleThread* thread, bool requested) {
  CServiceControl::Notify("RELOADING=1");
  bReloading = true;
  if (requested) {
    g_logOutput.Printf("\n*** Reload requested\n");
    PauseDriving(thread, kReloadRequestGatherMs);
    return;
  }
  g_logOutput.Printf("\n*** Config file update detected!\n");
  PauseDriving(thread, kReloadPauseMs);
}

// The service manager hears of the reload's end once: when it succeeded, or when
// the first read failed (the retries go on in the running state).
void CMainLoop::EndReload(const std::string& status) {
  if (!bReloading) return;
  bReloading = false;
  CServiceControl::Notify("READY=1\nSTATUS=" + status);
}

void CMainLoop::StartUp() {
  strConfigPath = GetCommandLineValue(vecArguments, "ini_file", DefaultConfigPath());
  const StatusChannelSettings channels = ReadStatusChannelSettings(strConfigPath);
  TcpConsoleSettings settings;
  settings.strName = "Quillrade";
  settings.nPort = kConsolePort;
  settings.bEcho = false;
  settings.nFifoSize = kConsoleFifoBytes;
  settings.nBackBufferSize = kConsoleBackBufferBytes;
  settings.strListenAddress = channels.strListenAddress;
  // Set before the channels open, so no client is ever let in without it.
  console.SetAccessToken(channels.strAccessToken);
  server.SetAccessToken(channels.strAccessToken);
  console.Start(settings);
  server.SetListenSettings(channels.strListenAddress, channels.strAccessList);
  board.SetConfigPath(strConfigPath);
  board.SetConsole(&console);
  server.SetStatusBoard(&board);
  server.Start();
  board.SetHttpPort(server.Port());
  g_logOutput.AttachConsole(&console);
  g_logOutput.Printf("\nQuillrade %s by Hollend\n", kQuillradeVersion);
  ReportStatusChannelProblems(channels, server, console);
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
    // Requests that came since the reload began are answered by this read; one
    // made during start-up waits for the first pass.
    if (bReloading && pReloadRequest != nullptr) pReloadRequest->store(false);
    configChange.Take(strConfigPath);
    g_logOutput.Printf("\nReading config file: \"%s\"\n", strConfigPath.c_str());
    const bool loaded = preset->Load();
    board.RecordConfigLoad(loaded);
    ReportSkippedBytes(*preset, strConfigPath);
    if (loaded) {
      const std::string token = AccessTokenFrom(*preset);
      server.SetAccessToken(token);
      console.SetAccessToken(token);
      break;
    }
    if (!thread->IsRunning()) return false;
    g_logOutput.Printf("Couldn't read from file \"%s\"\n%s", strConfigPath.c_str(),
                       preset->LoadFailure().ReasonLine().c_str());
    EndReload("Couldn't read from file \"" + strConfigPath + "\"");
    // A stop request cuts the retry pause short.
    if (!PauseDriving(thread, kRetryMs)) return false;
  }
  BuildTasks();
  WatchFiles();
  PrintAddresses();
  EndReload("");
  nNextPassMs = GetMonotonicMilliseconds() + kPassWaitMs;
  return true;
}

void CMainLoop::BuildTasks() {
  // Texts the old push tasks accepted and have not sent yet go to the new ones.
  CPushHandover handover;
  handover.TakeFrom(tasks);
  delivery.RetireClients(GetMonotonicMilliseconds());
  tasks.clear();
  g_logOutput.Printf("Initializing...\n");
  tasks = BuildTaskList(*preset, g_logOutput, [this](CTask& task) {
    task.pServer = &server;
    task.pPassWake = pWake;
    task.inputChange = CFileChangeCheck(*pFileStat);
    task.inputChange.SettleWrites(watcher.get());
  });
  delivery.SetLimits(TransferLimits{ConfiguredConnectTimeout(*preset), nNoAnswerSeconds});
  delivery.SetMaxConnectionsPerHost(ConfiguredConnectionsPerHost(*preset));
  for (const auto& task : tasks) task->AttachDelivery(delivery);
  handover.HandTo(tasks);
  std::vector<std::shared_ptr<CTaskStatus>> statuses;
  for (const auto& task : tasks) statuses.push_back(task->status);
  board.SetTasks(std::move(statuses));
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
  // Transfers are served whenever they are ready, in every phase.
  bool woken = false;
  for (;;) {
    const uint64_t now = GetMonotonicMilliseconds();
    const uint64_t passAt = woken ? std::min(nQuietUntilMs, nNextPassMs) : nNextPassMs;
    if (now >= passAt) break;
    const uint64_t until = std::min(passAt, delivery.NextWakeMs());
    if (now < nQuietUntilMs) {
      // Only until the spacing ends: a report queued meanwhile is taken then,
      // not at the next regular pass.
      woken = pWake->Wait(MillisecondsUntil(std::min(until, nQuietUntilMs), now)) || woken;
    } else {
      woken = watcher->Wait(*pWake, MillisecondsUntil(until, now)) || woken;
    }
    if (!thread->IsRunning()) return false;
    delivery.Drive();
  }
  PrintWatchFailures();
  if (woken) nQuietUntilMs = GetMonotonicMilliseconds() + kWokenPassSpacingMs;
  return true;
}

bool CMainLoop::PauseDriving(CSimpleThread* thread, int milliseconds) {
  const uint64_t until = GetMonotonicMilliseconds() + static_cast<uint64_t>(milliseconds);
  for (uint64_t now = GetMonotonicMilliseconds(); now < until; now = GetMonotonicMilliseconds()) {
    pWake->Wait(MillisecondsUntil(std::min(until, delivery.NextWakeMs()), now));
    if (!thread->IsRunning()) return false;
    delivery.Drive();
  }
  return thread->IsRunning();
}

bool CMainLoop::RunPass() {
  uint64_t trailingEdge = UINT64_MAX;
  for (const auto& task : tasks) {
    if (task->MaySendNow(GetMonotonicMilliseconds())) {
      task->RunCycle();
      // An input waiting for its writer is looked at again when it is due.
      trailingEdge = std::min(trailingEdge, task->NextInputLookTime());
    } else {
      trailingEdge = std::min(trailingEdge, task->NextSendTime());
    }
  }
  const uint64_t now = GetMonotonicMilliseconds();
  nNextPassMs = std::min(trailingEdge, now + kPassWaitMs);
  if (now >= nNextMemoryReleaseMs) {
    ReleaseFreeMemory();
    nNextMemoryReleaseMs = now + kMemoryReleaseMs;
  }
  board.MarkPassCompleted();
  server.FlushRefusalLog();
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
  ReportUnsentPushes();
  tasks.clear();
  preset.reset();
}

// The server has stopped, so the queues are final: every transfer ends now, then
// what is left unsent is said.
void CMainLoop::ReportUnsentPushes() {
  CPushHandover unsent;
  unsent.TakeFrom(tasks);
  delivery.EndAll();
  pWake->WakeOnTransfers(nullptr);
  unsent.DropAll();
}
