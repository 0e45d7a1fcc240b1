#include "host/main_loop.h"

#include <libxml/parser.h>
#include <libxml/xmlmemory.h>
#include <libxml/xmlversion.h>

#include "config/file_helpers.h"
#include "engine/text_util.h"
#include "host/command_line.h"
#include "host/status_channel_settings.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "runtime/simple_thread.h"
#include "status/log_output.h"
#include "util/path_name.h"
#include "util/version.h"

namespace {

// The libxml2 version the XML input was written against.
constexpr int kRequiredXmlVersion = 20611;

}  // namespace

std::string DefaultConfigPath() { return WithoutExtension(GetProgramPath()) + ".ini"; }

CMainLoop::CMainLoop(std::string& configPath, const std::string& commandLine)
    : strConfigPath(configPath), strCommandLine(commandLine) {}

CMainLoop::~CMainLoop() = default;

void CMainLoop::Run(CSimpleThread* thread) {
  StartUp();
  if (Load(thread)) {
    while (thread->Wait(kPassWaitMs)) {
      if (!RunPass()) continue;
      g_logOutput.Printf("\n*** Config file update detected!\n");
      SleepMilliseconds(kReloadPauseMs);
      bReload = true;
      server.LockTargets();
      curl.reset();
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
  server.Start();
  g_logOutput.AttachConsole(&console);
  g_logOutput.Printf("\nQuillrade %s by Hollend\n", kQuillradeVersion);
  ReportStatusChannelProblems(channels, server);
  xmlCheckVersion(kRequiredXmlVersion);
  xmlInitParser();
  server.SetConfigPath(strConfigPath);
  preset = std::make_unique<CVirtualPreset_file>(strConfigPath);
}

bool CMainLoop::Load(CSimpleThread* thread) {
  ReleaseTargetsForLoad();
  for (;;) {
    nConfigTime = GetFileLastWriteTime(strConfigPath);
    g_logOutput.Printf("\nReading config file: \"%s\"\n", strConfigPath.c_str());
    if (preset->Load()) break;
    if (!thread->IsRunning()) return false;
    g_logOutput.Printf("Couldn't read from file \"%s\"\n", strConfigPath.c_str());
    // A stop request cuts the retry pause short.
    if (!thread->Wait(kRetryMs)) return false;
  }
  BuildTasks();
  PrintAddresses();
  return true;
}

// No push may reach a task from here on: the old tasks are about to go.
void CMainLoop::ReleaseTargetsForLoad() {
  if (!bReload) {
    server.ClearTargets();
    return;
  }
  server.ClearTargetsLocked();
  server.UnlockTargets();
  bReload = false;
}

void CMainLoop::BuildTasks() {
  tasks.clear();
  g_logOutput.Printf("Initializing...\n");
  outputs.clear();
  for (int i = 0; i < kMaxTasks; ++i) {
    const std::string inputSection = StringPrintf("Input%i", i);
    const std::string outputSection = StringPrintf("Output%i", i);
    const std::string file = preset->GetString(preset->GetItem(inputSection, "file"), "");
    const std::string type = preset->GetString(preset->GetItem(inputSection, "type"), "");
    if (file.empty() && type != "push") continue;
    auto task = std::make_unique<CTask>();
    task->pServer = &server;
    task->nIndex = static_cast<int>(tasks.size());
    task->strInputPath = file;
    task->Setup(*preset, inputSection, outputSection);
    outputs[task->strLabel] = task.get();
    tasks.push_back(std::move(task));
  }
  for (const auto& task : tasks) task->LinkOutputReferences(outputs);
  curl = std::make_unique<CCurl>();
  curl->SetConnectTimeout(preset->GetInt(preset->GetItem("global", "http_timeout_seconds"),
                                         CCurl::kDefaultConnectTimeoutSeconds));
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

bool CMainLoop::RunPass() {
  for (const auto& task : tasks) task->RunCycle(*curl);
  return GetFileLastWriteTime(strConfigPath) != nConfigTime;
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
  tasks.clear();
  outputs.clear();
  preset.reset();
}
