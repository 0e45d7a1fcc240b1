#include "util/crash_reporter.h"

#include <cinttypes>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/crash_system.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "util/crash_format.h"
#include "util/path_name.h"

CrashReporterSwitches g_crashSwitches;

namespace {

constexpr size_t kPathCapacity = 4096 + 64;
constexpr size_t kCommandLineCapacity = 8192;
constexpr uint64_t kMegabyte = 1024 * 1024;
// Bytes shown at the faulting instruction.
constexpr int kCodeBytes = 16;
constexpr int kWordsPerLine = 4;

// Facts about the process gathered before any crash.
char g_programPath[kPathCapacity] = "Unknown";
char g_commandLine[kCommandLineCapacity];
// The program path the report names are built from when reports go to another
// folder: that folder and the program's file name. Empty: the program path.
char g_reportBase[kPathCapacity];
std::once_flag g_prepareOnce;

// Reserved for the one report: the writer's buffer and the two file names.
CCrashTextWriter g_writer;
char g_reportPath[kPathCapacity];
char g_dumpPath[kPathCapacity];
// Kernel id of the thread writing the report; 0 while none is.
std::atomic<int> g_reporterThread{0};

struct Description {
  uint32_t nCode;
  const char* pText;
};

const Description kDescriptions[] = {
    {0x40010005, "a Control-C"},
    {0x40010008, "a Control-Break"},
    {0x80000002, "a Datatype Misalignment"},
    {0x80000003, "a Breakpoint"},
    {0xC0000005, "an Access Violation"},
    {0xC0000006, "an In Page Error"},
    {0xC0000017, "a No Memory"},
    {0xC000001D, "an Illegal Instruction"},
    {0xC0000025, "a Noncontinuable Exception"},
    {0xC0000026, "an Invalid Disposition"},
    {0xC000008C, "a Array Bounds Exceeded"},
    {0xC000008D, "a Float Denormal Operand"},
    {0xC000008E, "a Float Divide by Zero"},
    {0xC000008F, "a Float Inexact Result"},
    {0xC0000090, "a Float Invalid Operation"},
    {0xC0000091, "a Float Overflow"},
    {0xC0000092, "a Float Stack Check"},
    {0xC0000093, "a Float Underflow"},
    {0xC0000094, "an Integer Divide by Zero"},
    {0xC0000095, "an Integer Overflow"},
    {0xC0000096, "a Privileged Instruction"},
    {0xC00000FD, "a Stack Overflow"},
    {0xC0000142, "a DLL Initialization Failed"},
    {0xE06D7363, "a Microsoft C++ Exception"},
};

void CopyText(char* target, size_t capacity, const std::string& text) {
  const size_t length = text.size() < capacity ? text.size() : capacity - 1;
  std::memcpy(target, text.data(), length);
  target[length] = '\0';
}

// The command line as main stored it, else as the system holds it.
std::string ProcessCommandLine() {
  if (!GetProcessCommandLine().empty()) return GetProcessCommandLine();
  return ReadSystemCommandLine();
}

void PrepareCrashReporter() {
  std::call_once(g_prepareOnce, [] {
    PrepareCrashSystem();
    const std::string program = GetProgramPath();
    if (!program.empty()) CopyText(g_programPath, sizeof(g_programPath), program);
    CopyText(g_commandLine, sizeof(g_commandLine), ProcessCommandLine());
  });
}

// "month/day/year hh:mm:ss" with even seconds, as file times were kept.
void FormatDosTime(int64_t unixSeconds, char* buffer, size_t capacity) {
  const LocalTime t = CrashLocalTime(unixSeconds);
  CrashFormat(buffer, capacity, "%d/%d/%d %02d:%02d:%02d", t.nMonth, t.nDay, t.nYear, t.nHour,
              t.nMinute, t.nSecond & ~1);
}

int Megabytes(uint64_t bytes) { return static_cast<int>((bytes + kMegabyte - 1) / kMegabyte); }

void WriteHeader(const LocalTime& t, const char* reportPath, const char* dumpPath) {
  char stamp[64];
  CrashFormat(stamp, sizeof(stamp), "%04i/%02i/%02i %02i:%02i:%02i", t.nYear, t.nMonth, t.nDay,
              t.nHour, t.nMinute, t.nSecond);
  g_writer.Printf("%s\r\n\r\n", stamp);
  g_writer.Printf("Please forward these two files to the author:\r\n");
  g_writer.Printf("%s\r\n", reportPath);
  g_writer.Printf("%s\r\n", dumpPath);
  g_writer.Printf("\r\n");
}

void WriteCause(const CrashEvent& event, const char* threadName) {
  char module[256] = "Unknown";
  if (!FindCrashModuleName(event.regs.nRip, module, sizeof(module)))
    CopyText(module, sizeof(module), "Unknown");
  g_writer.Printf("%s caused %s (0x%08x) \r\nin module %s at %04" PRIx64 ":%016" PRIx64 ".\r\n\r\n",
                  g_programPath, CrashExceptionDescription(event.nCode), event.nCode, module,
                  event.regs.nCs, event.regs.nRip);
  g_writer.Printf("Exception handler called in %s.\r\n",
                  threadName != nullptr ? threadName : "Unknown");
  g_writer.Printf("Command Line: %s.\r\n", g_commandLine);
}

void WriteSystem(int64_t now) {
  const CrashSystemInfo& info = GetCrashSystemInfo();
  const CrashMemoryStatus memory = ReadCrashMemoryStatus();
  char when[64];
  FormatDosTime(now, when, sizeof(when));
  g_writer.Printf("Error occurred at %s.\r\n", when);
  g_writer.Printf("%s, run by %s.\r\n", g_programPath, info.szUserName);
  g_writer.Printf("Operating system:  %s (%s).\r\n", info.szOsName, info.szOsVersion);
  g_writer.Printf("%d processor(s), type %d.\r\n", info.nProcessors, info.nProcessorType);
  g_writer.Printf("%d%% memory in use.\r\n", memory.nLoadPercent);
  g_writer.Printf("%d MBytes physical memory.\r\n", Megabytes(memory.nPhysicalTotal));
  g_writer.Printf("%d MBytes physical memory free.\r\n", Megabytes(memory.nPhysicalFree));
  g_writer.Printf("%d MBytes paging file.\r\n", Megabytes(memory.nPagingTotal));
  g_writer.Printf("%d MBytes paging file free.\r\n", Megabytes(memory.nPagingFree));
  g_writer.Printf("%d MBytes user address space.\r\n", Megabytes(memory.nVirtualTotal));
  g_writer.Printf("%d MBytes user address space free.\r\n", Megabytes(memory.nVirtualFree));
}

void WriteAccess(const CrashEvent& event) {
  if (event.nCode != kCrashAccessViolation || !event.bHasAccess) return;
  g_writer.Printf("%s location %016" PRIx64 " caused an access violation.\r\n",
                  event.bWrite ? "Write to" : "Read from", event.nAccessAddress);
}

void WriteRegisters(const CrashRegisters& r) {
  g_writer.Printf("\r\n");
  g_writer.Printf("Context:\r\n");
  g_writer.Printf("RDI:    0x%016" PRIx64 "  RSI: 0x%016" PRIx64 "  RAX:   0x%016" PRIx64 "\r\n",
                  r.nRdi, r.nRsi, r.nRax);
  g_writer.Printf("RBX:    0x%016" PRIx64 "  RCX: 0x%016" PRIx64 "  RDX:   0x%016" PRIx64 "\r\n",
                  r.nRbx, r.nRcx, r.nRdx);
  g_writer.Printf("RIP:    0x%016" PRIx64 "  RBP: 0x%016" PRIx64 "  SegCs: 0x%016" PRIx64 "\r\n",
                  r.nRip, r.nRbp, r.nCs);
  g_writer.Printf("EFlags: 0x%016" PRIx64 "  RSP: 0x%016" PRIx64 "  SegSs: 0x%016" PRIx64 "\r\n",
                  r.nEflags, r.nRsp, r.nSs);
  g_writer.Printf("R8:     0x%016" PRIx64 "  R9:  0x%016" PRIx64 "  R10:   0x%016" PRIx64 "\r\n",
                  r.nR8, r.nR9, r.nR10);
  g_writer.Printf("R11:    0x%016" PRIx64 "  R12: 0x%016" PRIx64 "  R13:   0x%016" PRIx64 "\r\n",
                  r.nR11, r.nR12, r.nR13);
  g_writer.Printf("R14:    0x%016" PRIx64 "  R15: 0x%016" PRIx64 "\r\n", r.nR14, r.nR15);
}

void WriteCodeBytes(uint64_t address) {
  g_writer.Printf("\r\nBytes at CS:RIP:\r\n");
  for (int i = 0; i < kCodeBytes; ++i) {
    unsigned char byte = 0;
    if (CrashReadMemory(address + static_cast<uint64_t>(i), &byte, 1) == 1) {
      g_writer.Printf("%02x ", byte);
    } else {
      g_writer.Printf("?? ");
    }
  }
}

// Words from the stack pointer up to the stack base (or, with the base unknown,
// while readable), four a line with their bytes as characters.
int CountStackWords(uint64_t sp, uint64_t base) {
  if (base > sp) {
    const uint64_t words = (base - sp) / 8;
    return words < kCrashMaxStackWords ? static_cast<int>(words) : kCrashMaxStackWords;
  }
  int count = 0;
  uint64_t word = 0;
  while (count < kCrashMaxStackWords && CrashReadMemory(sp + 8u * count, &word, 8) == 8) ++count;
  return count;
}

void WriteStackLine(uint64_t address, int words) {
  char text[kWordsPerLine * 8 + 1];
  int used = 0;
  g_writer.Printf("0x%016" PRIx64 ": ", address);
  for (int i = 0; i < kWordsPerLine; ++i) {
    uint64_t word = 0;
    if (i >= words) {
      g_writer.Printf("                 ");
    } else if (CrashReadMemory(address + 8u * i, &word, 8) == 8) {
      g_writer.Printf("%016" PRIx64 " ", word);
      for (int b = 0; b < 8; ++b, ++used) {
        const unsigned char c = static_cast<unsigned char>(word >> (8 * b));
        text[used] = c < 32 || c == 127 ? '.' : static_cast<char>(c);
      }
    } else {
      g_writer.Printf("???????????????? ");
      for (int b = 0; b < 8; ++b) text[used++] = '?';
    }
  }
  text[used] = '\0';
  g_writer.Printf("%s\r\n", text);
}

void WriteStack(uint64_t sp, uint64_t base) {
  g_writer.Printf("\r\n\r\nStack:\r\n");
  const int total = CountStackWords(sp, base);
  for (int first = 0; first < total; first += kWordsPerLine) {
    const int left = total - first;
    WriteStackLine(sp + 8u * first, left < kWordsPerLine ? left : kWordsPerLine);
  }
  g_writer.Printf("\r\n");
}

// A text the version resource lacks reads "Unknown", as does every line of a
// module without the resource.
const char* KnownOr(const char* text) { return text[0] != '\0' ? text : "Unknown"; }

void WriteModuleVersion(const CrashModuleVersion* version) {
  if (version == nullptr) {
    g_writer.Printf("   Company:    Unknown\r\n");
    g_writer.Printf("   Product:    Unknown\r\n");
    g_writer.Printf("   FileDesc:   Unknown\r\n");
    g_writer.Printf("   FileVer:    Unknown\r\n");
    g_writer.Printf("   ProdVer:    Unknown\r\n");
    return;
  }
  const uint16_t* file = version->nFileVersion;
  const uint16_t* product = version->nProductVersion;
  g_writer.Printf("   Company:    %s\r\n", KnownOr(version->szCompany));
  g_writer.Printf("   Product:    %s\r\n", KnownOr(version->szProduct));
  g_writer.Printf("   FileDesc:   %s\r\n", KnownOr(version->szFileDescription));
  g_writer.Printf("   FileVer:    %d.%d.%d.%d\r\n", file[0], file[1], file[2], file[3]);
  g_writer.Printf("   ProdVer:    %d.%d.%d.%d\r\n", product[0], product[1], product[2], product[3]);
}

void WriteModule(const CrashModule& module, void* context) {
  int* number = static_cast<int*>(context);
  char fileTime[64] = "Unknown";
  if (module.nFileTime != 0) FormatDosTime(module.nFileTime, fileTime, sizeof(fileTime));
  char fileSize[32] = "Unknown";
  if (module.nFileSize >= 0) CrashFormat(fileSize, sizeof(fileSize), "%" PRId64, module.nFileSize);
  g_writer.Printf("Module %d\r\n", ++*number);
  g_writer.Printf("%s\r\n", module.pPath);
  g_writer.Printf("Image Base: 0x%016" PRIx64 "  Image Size: 0x%08" PRIx64 "\r\n", module.nBase,
                  module.nSize);
  if (module.bHaveImageHeader) {
    g_writer.Printf("Checksum:   0x%08x  Time Stamp: 0x%08x\r\n", module.nChecksum,
                    module.nTimeStamp);
  } else {
    g_writer.Printf("Checksum:   Unknown     Time Stamp: Unknown\r\n");
  }
  g_writer.Printf("File Size:  %-10s  File Time:  %s\r\n", fileSize, fileTime);
  g_writer.Printf("Version Information:\r\n");
  WriteModuleVersion(module.pVersion);
  g_writer.Printf("\r\n");
}

void WriteReportBody(const CrashEvent& event, const char* threadName, const char* reportPath,
                     const char* dumpPath) {
  const int64_t now = CrashUnixTimeNow();
  WriteHeader(CrashLocalTime(now), reportPath, dumpPath);
  WriteCause(event, threadName);
  WriteSystem(now);
  WriteAccess(event);
  WriteRegisters(event.regs);
  WriteCodeBytes(event.regs.nRip);
  WriteStack(event.regs.nRsp, event.nStackBase);
  int modules = 0;
  ForEachCrashModule(WriteModule, &modules);
  g_writer.Printf("\r\n===== [end of %s] =====\r\n", "CRASH.TXT");
}

// Creates both files and the dump. False when the report could not be created.
bool WriteReportAndDump(const CrashEvent& event, const char* threadName) {
  const LocalTime now = CrashLocalTime(CrashUnixTimeNow());
  const char* base = g_reportBase[0] != '\0' ? g_reportBase : g_programPath;
  if (!BuildCrashFileNames(base, now, g_reportPath, g_dumpPath, kPathCapacity)) {
    CrashWriteStderr("Error creating exception report\r\n");
    return false;
  }
  if (!WriteCrashReport(g_reportPath, g_dumpPath, event, threadName)) return false;
  const int dump = CrashCreateFile(g_dumpPath);
  if (dump < 0) return true;
  CrashCloseFile(dump);
  CrashWriteStderr("writing minidump\r\n");
  CrashWriteCoreDump(g_dumpPath);
  return true;
}

// Another thread's crash while a report is being written waits for that report
// to end the process; a fault inside the report itself ends it at once.
void WaitForRunningReport() {
  const int self = CrashCurrentThreadId();
  if (g_reporterThread.load() == self) CrashExitProcess(0);
  while (g_reporterThread.load() != 0) CrashSleepMilliseconds(10);
}

}  // namespace

void SetCrashReportFolder(const std::string& folder) {
  if (folder.empty()) {
    g_reportBase[0] = '\0';
    return;
  }
  std::string absolute = GetAbsolutePath(folder);
  if (absolute.empty()) absolute = folder;
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  const std::string base = absolute + "/" + FileNameOf(GetProgramPath());
  // A base too long for the buffer is cut; the names built from it then do not
  // fit, so the report fails and says so instead of landing somewhere else.
  CopyText(g_reportBase, sizeof(g_reportBase), base);
}

const char* CrashExceptionDescription(uint32_t code) {
  for (const Description& entry : kDescriptions) {
    if (entry.nCode == code) return entry.pText;
  }
  return "an Unknown exception type";
}

bool BuildCrashFileNames(const char* programPath, const LocalTime& t, char* reportPath,
                         char* dumpPath, size_t capacity) {
  // Cut the extension of the file name only; a dot in a folder stays.
  const char* name = programPath;
  for (const char* at = programPath; *at != '\0'; ++at) {
    if (std::strchr(PathSeparators(), *at) != nullptr) name = at + 1;
  }
  const char* dot = std::strrchr(name, '.');
  const size_t baseLength = dot != nullptr && dot != name ? static_cast<size_t>(dot - programPath)
                                                          : std::strlen(programPath);
  constexpr size_t kSuffixLength = 30;  // "_crash_YYYY-MM-DD_hh-mm-ss.txt"
  if (baseLength + kSuffixLength + 1 > capacity || t.nYear < 0 || t.nYear > 9999) return false;
  char base[kPathCapacity];
  if (baseLength >= sizeof(base)) return false;
  std::memcpy(base, programPath, baseLength);
  base[baseLength] = '\0';
  CrashFormat(reportPath, capacity, "%s_crash_%04i-%02i-%02i_%02i-%02i-%02i.txt", base, t.nYear,
              t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
  CrashFormat(dumpPath, capacity, "%s_crash_%04i-%02i-%02i_%02i-%02i-%02i.dmp", base, t.nYear,
              t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
  return true;
}

bool WriteCrashReport(const char* reportPath, const char* dumpPath, const CrashEvent& event,
                      const char* threadName) {
  PrepareCrashReporter();
  const int fd = CrashCreateFile(reportPath);
  if (fd < 0) {
    CrashWriteStderr("Error creating exception report\r\n");
    return false;
  }
  g_writer.Begin(fd);
  WriteReportBody(event, threadName, reportPath, dumpPath);
  g_writer.Flush();
  CrashCloseFile(fd);
  return true;
}

void ReportCrash(const CrashEvent& event, const char* threadName) {
  int idle = 0;
  if (!g_crashSwitches.bEnabled.load() ||
      !g_reporterThread.compare_exchange_strong(idle, CrashCurrentThreadId())) {
    WaitForRunningReport();
    return;
  }
  if (!g_crashSwitches.bEnabled.exchange(false)) {  // switched off meanwhile
    g_reporterThread.store(0);
    return;
  }
  const bool written = WriteReportAndDump(event, threadName);
  if (written && g_crashSwitches.bOpenReport.load()) CrashOpenFileInViewer(g_reportPath);
  if (g_crashSwitches.bTerminateAfterReport.load()) CrashExitProcess(0);
  g_reporterThread.store(0);
}

void CrashGuardEnterThread(const char* threadName) {
  PrepareCrashReporter();
  ArmCrashThread(threadName);
  InstallCrashSignalHandlers(&ReportCrash);
}

void CrashGuardLeaveThread() { DisarmCrashThread(); }

void ReportCppException(const char* threadName, const char* what) {
  PrepareCrashReporter();
  const std::string note = std::string("Unhandled C++ exception in ") +
                           (threadName ? threadName : "Unknown") + ": " +
                           (what ? what : "unknown exception") + "\r\n";
  CrashWriteStderr(note.c_str());
  CrashEvent event;
  CaptureCrashEvent(kCppExceptionCode, &event);
  ReportCrash(event, threadName);
}
