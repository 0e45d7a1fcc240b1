#include "platform/crash_system.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

extern char** environ;

namespace {

// How long the reporter waits for gcore before giving up on the dump.
constexpr int kCoreDumpTimeoutMs = 120 * 1000;
// The x86-64 user address space without a limit: 47 bits.
constexpr uint64_t kUserAddressSpace = uint64_t{1} << 47;
// Local-time offsets are sampled over this window around the preparation.
constexpr int64_t kOffsetPastSeconds = int64_t{10} * 366 * 86400;
constexpr int64_t kOffsetFutureSeconds = int64_t{3} * 366 * 86400;
constexpr int kMaxOffsetChanges = 64;
// Distinct ELF files remembered while listing modules.
constexpr int kMaxModules = 1024;
constexpr size_t kPathCapacity = 4096;

CrashSystemInfo g_info;
std::once_flag g_prepareOnce;
char g_gcorePath[kPathCapacity];
char g_viewerPath[kPathCapacity];
bool g_desktopSession = false;
int g_probePipe[2] = {-1, -1};  // fallback for reads process_vm_readv refuses

struct OffsetChange {
  int64_t nFrom = 0;
  int32_t nOffset = 0;
};
int32_t g_baseOffset = 0;
OffsetChange g_offsetChanges[kMaxOffsetChanges];
int g_offsetChangeCount = 0;

void CopyText(char* target, size_t capacity, const char* text) {
  size_t length = std::strlen(text);
  if (length >= capacity) length = capacity - 1;
  std::memcpy(target, text, length);
  target[length] = '\0';
}

// ---- time -------------------------------------------------------------------

int32_t OffsetAt(int64_t when) {
  const time_t t = static_cast<time_t>(when);
  tm parts{};
  if (localtime_r(&t, &parts) == nullptr) return 0;
  return static_cast<int32_t>(parts.tm_gmtoff);
}

// The first second after `from` whose offset is `target` (a change lies in (from, to]).
int64_t FindOffsetChange(int64_t from, int64_t to, int32_t target) {
  while (to - from > 1) {
    const int64_t middle = from + (to - from) / 2;
    if (OffsetAt(middle) == target)
      to = middle;
    else
      from = middle;
  }
  return to;
}

void PrepareOffsets() {
  tzset();  // localtime_r alone need not notice a changed TZ
  const int64_t now = static_cast<int64_t>(time(nullptr));
  int64_t at = now - kOffsetPastSeconds;
  g_offsetChangeCount = 0;
  g_baseOffset = OffsetAt(at);
  int32_t current = g_baseOffset;
  for (; at < now + kOffsetFutureSeconds && g_offsetChangeCount < kMaxOffsetChanges; at += 86400) {
    const int32_t next = OffsetAt(at + 86400);
    if (next == current) continue;
    g_offsetChanges[g_offsetChangeCount++] = {FindOffsetChange(at, at + 86400, next), next};
    current = next;
  }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, LocalTime* out) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  out->nDay = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  out->nMonth = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  out->nYear = static_cast<int>(yearOfEra + era * 400 + (out->nMonth <= 2 ? 1 : 0));
}

// ---- small files --------------------------------------------------------------

// Reads at most capacity-1 bytes of a (proc) file into `buffer`, terminated.
size_t ReadSmallFile(const char* path, char* buffer, size_t capacity) {
  buffer[0] = '\0';
  const CUniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
  if (!file.IsValid()) return 0;
  size_t total = 0;
  while (total + 1 < capacity) {
    const ssize_t got = read(file.Get(), buffer + total, capacity - 1 - total);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  buffer[total] = '\0';
  return total;
}

uint64_t ParseDecimal(const char* text) {
  uint64_t value = 0;
  while (*text == ' ' || *text == '\t') ++text;
  for (; *text >= '0' && *text <= '9'; ++text)
    value = value * 10 + static_cast<uint64_t>(*text - '0');
  return value;
}

// The value of a "Key:   123 kB" line in bytes; 0 when missing.
uint64_t FindKilobytes(const char* text, const char* key) {
  const size_t keyLength = std::strlen(key);
  for (const char* line = text; *line != '\0';) {
    if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
      return ParseDecimal(line + keyLength + 1) * 1024;
    }
    const char* end = std::strchr(line, '\n');
    if (end == nullptr) break;
    line = end + 1;
  }
  return 0;
}

// ---- /proc/self/maps ----------------------------------------------------------

struct MapsLine {
  uint64_t nStart = 0;
  uint64_t nEnd = 0;
  uint64_t nOffset = 0;
  uint64_t nInode = 0;
  char szDevice[16] = {};
  const char* pPath = nullptr;  // null for an anonymous mapping
};

uint64_t ParseHex(const char** text) {
  uint64_t value = 0;
  for (;; ++*text) {
    const char c = **text;
    if (c >= '0' && c <= '9')
      value = value * 16 + static_cast<uint64_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      value = value * 16 + static_cast<uint64_t>(c - 'a' + 10);
    else
      break;
  }
  return value;
}

const char* SkipField(const char* text) {
  while (*text != '\0' && *text != ' ') ++text;
  while (*text == ' ') ++text;
  return text;
}

// "start-end perms offset dev inode   path"
bool ParseMapsLine(const char* text, MapsLine* line) {
  line->nStart = ParseHex(&text);
  if (*text++ != '-') return false;
  line->nEnd = ParseHex(&text);
  text = SkipField(SkipField(text));
  line->nOffset = ParseHex(&text);
  text = SkipField(text);
  size_t length = 0;
  while (text[length] != ' ' && text[length] != '\0' && length + 1 < sizeof(line->szDevice))
    ++length;
  std::memcpy(line->szDevice, text, length);
  line->szDevice[length] = '\0';
  text = SkipField(text);
  line->nInode = ParseDecimal(text);
  text = SkipField(text);
  line->pPath = *text == '/' ? text : nullptr;
  return true;
}

// Reads the map line by line into static buffers; `onLine` returns false to stop.
template <typename F>
bool ForEachMapsLine(F onLine) {
  static char chunk[8192];
  static char line[kPathCapacity + 256];
  const CUniqueFd maps(open("/proc/self/maps", O_RDONLY | O_CLOEXEC));
  if (!maps.IsValid()) return false;
  size_t used = 0;
  bool going = true;
  while (going) {
    const ssize_t got = read(maps.Get(), chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got && going; ++i) {
      if (chunk[i] != '\n') {
        if (used + 1 < sizeof(line)) line[used++] = chunk[i];
        continue;
      }
      line[used] = '\0';
      used = 0;
      MapsLine parsed;
      if (ParseMapsLine(line, &parsed)) going = onLine(parsed);
    }
  }
  return true;
}

bool SameFile(const MapsLine& a, const MapsLine& b) {
  return a.nInode == b.nInode && std::strcmp(a.szDevice, b.szDevice) == 0;
}

// Collects the mappings of one file into a module, then hands it on when the
// next file starts. Each file is reported once, at its lowest mapping.
class CModuleCollector {
 public:
  CModuleCollector(CrashModuleVisitor visit, void* context) : visit(visit), context(context) {}
  void Add(const MapsLine& line);
  void Finish();

 private:
  bool Seen(const MapsLine& line) const;

  CrashModuleVisitor visit;
  void* context;
  bool bOpen = false;
  MapsLine current;
  uint64_t nEnd = 0;
  char szPath[kPathCapacity] = {};
  struct Key {
    uint64_t nInode;
    char szDevice[16];
  };
  Key seen[kMaxModules];
  int nSeen = 0;
};

bool CModuleCollector::Seen(const MapsLine& line) const {
  for (int i = 0; i < nSeen; ++i) {
    if (seen[i].nInode == line.nInode && std::strcmp(seen[i].szDevice, line.szDevice) == 0)
      return true;
  }
  return false;
}

void CModuleCollector::Add(const MapsLine& line) {
  if (bOpen && line.pPath != nullptr && SameFile(line, current)) {
    nEnd = line.nEnd;
    return;
  }
  Finish();
  if (line.pPath == nullptr || line.nInode == 0 || line.nOffset != 0 || Seen(line)) return;
  char magic[4];
  if (CrashReadMemory(line.nStart, magic, 4) != 4 || std::memcmp(magic,
                                                                 "\x7f"
                                                                 "ELF",
                                                                 4) != 0)
    return;
  bOpen = true;
  current = line;
  nEnd = line.nEnd;
  CopyText(szPath, sizeof(szPath), line.pPath);
}

void CModuleCollector::Finish() {
  if (!bOpen) return;
  bOpen = false;
  if (nSeen < kMaxModules) {
    seen[nSeen].nInode = current.nInode;
    std::memcpy(seen[nSeen].szDevice, current.szDevice, sizeof(current.szDevice));
    ++nSeen;
  }
  CrashModule module;
  module.pPath = szPath;
  module.nBase = current.nStart;
  module.nSize = nEnd - current.nStart;
  struct stat info {};
  if (stat(szPath, &info) == 0) {
    module.nFileSize = static_cast<int64_t>(info.st_size);
    module.nFileTime = static_cast<int64_t>(info.st_mtim.tv_sec);
  }
  visit(module, context);
}

// ---- helper programs ----------------------------------------------------------

std::string FindOnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = folders.substr(start, end - start);
    const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

void FormatDecimal(uint64_t value, char* buffer, size_t capacity) {
  char digits[24];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && count < sizeof(digits));
  size_t i = 0;
  for (; i < count && i + 1 < capacity; ++i) buffer[i] = digits[count - 1 - i];
  buffer[i] = '\0';
}

// In a forked child: standard output and error to /dev/null, then the program.
[[noreturn]] void ExecQuietly(const char* program, char* const argv[]) {
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  execve(program, argv, environ);
  _exit(127);
}

// Waits for `child` up to the timeout, killing it afterwards. True on exit 0.
bool WaitForChild(pid_t child, int timeoutMs) {
  for (int waited = 0;; waited += 50) {
    int status = 0;
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0 && errno != EINTR) return false;
    if (waited >= timeoutMs) break;
    CrashSleepMilliseconds(50);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return false;
}

void PrepareSystemInfo() {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> scratch(16384);
  if (getpwuid_r(geteuid(), &entry, scratch.data(), scratch.size(), &found) == 0 &&
      found != nullptr && found->pw_name != nullptr) {
    CopyText(g_info.szUserName, sizeof(g_info.szUserName), found->pw_name);
  }
  utsname names{};
  if (uname(&names) == 0) {
    CopyText(g_info.szOsName, sizeof(g_info.szOsName), names.sysname);
    const std::string version =
        std::string(names.sysname) + " " + names.release + " " + names.machine;
    CopyText(g_info.szOsVersion, sizeof(g_info.szOsVersion), version.c_str());
  }
  // The distribution's own name reads better than the kernel's, when present.
  char release[4096];
  ReadSmallFile("/etc/os-release", release, sizeof(release));
  const char* pretty = std::strstr(release, "PRETTY_NAME=");
  if (pretty != nullptr && (pretty == release || pretty[-1] == '\n')) {
    std::string name(pretty + 12, std::strcspn(pretty + 12, "\n"));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
      name = name.substr(1, name.size() - 2);
    if (!name.empty()) CopyText(g_info.szOsName, sizeof(g_info.szOsName), name.c_str());
  }
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  g_info.nProcessors = processors > 0 ? static_cast<int>(processors) : 0;
#if defined(__x86_64__)
  g_info.nProcessorType = 8664;
#endif
}

void PrepareTools() {
  CopyText(g_gcorePath, sizeof(g_gcorePath), FindOnPath("gcore").c_str());
  CopyText(g_viewerPath, sizeof(g_viewerPath), FindOnPath("xdg-open").c_str());
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  g_desktopSession =
      (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
  if (pipe2(g_probePipe, O_CLOEXEC | O_NONBLOCK) != 0) g_probePipe[0] = g_probePipe[1] = -1;
}

// write() reports EFAULT instead of faulting on an unreadable source.
size_t ReadThroughPipe(uint64_t address, char* buffer, size_t length) {
  if (g_probePipe[1] < 0) return 0;
  size_t done = 0;
  while (done < length) {
    const size_t piece = length - done > 256 ? 256 : length - done;
    const ssize_t put = write(g_probePipe[1], reinterpret_cast<const void*>(address + done), piece);
    if (put <= 0) break;
    const ssize_t got = read(g_probePipe[0], buffer + done, static_cast<size_t>(put));
    if (got != put) break;
    done += static_cast<size_t>(put);
  }
  return done;
}

}  // namespace

void PrepareCrashSystem() {
  std::call_once(g_prepareOnce, [] {
    PrepareOffsets();
    PrepareSystemInfo();
    PrepareTools();
  });
}

void PrepareCrashLocalTime() { PrepareOffsets(); }

const CrashSystemInfo& GetCrashSystemInfo() { return g_info; }

size_t CrashReadMemory(uint64_t address, void* buffer, size_t length) {
  if (length == 0) return 0;
  iovec local{buffer, length};
  iovec remote{reinterpret_cast<void*>(address), length};
  const ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (got >= 0) return static_cast<size_t>(got);
  if (errno == EFAULT) return 0;
  return ReadThroughPipe(address, static_cast<char*>(buffer), length);
}

CrashMemoryStatus ReadCrashMemoryStatus() {
  static char text[8192];
  CrashMemoryStatus status;
  ReadSmallFile("/proc/meminfo", text, sizeof(text));
  status.nPhysicalTotal = FindKilobytes(text, "MemTotal");
  status.nPhysicalFree = FindKilobytes(text, "MemAvailable");
  status.nPagingTotal = FindKilobytes(text, "SwapTotal");
  status.nPagingFree = FindKilobytes(text, "SwapFree");
  if (status.nPhysicalTotal > 0 && status.nPhysicalFree <= status.nPhysicalTotal) {
    status.nLoadPercent = static_cast<int>((status.nPhysicalTotal - status.nPhysicalFree) * 100 /
                                           status.nPhysicalTotal);
  }
  rlimit limit{};
  status.nVirtualTotal = kUserAddressSpace;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < kUserAddressSpace) {
    status.nVirtualTotal = limit.rlim_cur;
  }
  ReadSmallFile("/proc/self/status", text, sizeof(text));
  const uint64_t used = FindKilobytes(text, "VmSize");
  status.nVirtualFree = used < status.nVirtualTotal ? status.nVirtualTotal - used : 0;
  return status;
}

bool ForEachCrashModule(CrashModuleVisitor visit, void* context) {
  static CModuleCollector* collector = nullptr;
  alignas(CModuleCollector) static unsigned char storage[sizeof(CModuleCollector)];
  collector = new (storage) CModuleCollector(visit, context);  // placement: no heap
  const bool read = ForEachMapsLine([](const MapsLine& line) {
    collector->Add(line);
    return true;
  });
  collector->Finish();
  return read;
}

bool FindCrashModuleName(uint64_t address, char* name, size_t capacity) {
  bool found = false;
  ForEachMapsLine([&](const MapsLine& line) {
    if (address < line.nStart || address >= line.nEnd) return true;
    if (line.pPath != nullptr) {
      const char* slash = std::strrchr(line.pPath, '/');
      CopyText(name, capacity, slash != nullptr ? slash + 1 : line.pPath);
      found = true;
    }
    return false;
  });
  return found;
}

int64_t CrashUnixTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}

LocalTime CrashLocalTime(int64_t unixSeconds) {
  int32_t offset = g_baseOffset;
  for (int i = 0; i < g_offsetChangeCount && g_offsetChanges[i].nFrom <= unixSeconds; ++i) {
    offset = g_offsetChanges[i].nOffset;
  }
  const int64_t local = unixSeconds + offset;
  int64_t days = local / 86400;
  int64_t seconds = local % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  LocalTime result;
  CivilFromDays(days, &result);
  result.nHour = static_cast<int>(seconds / 3600);
  result.nMinute = static_cast<int>(seconds / 60 % 60);
  result.nSecond = static_cast<int>(seconds % 60);
  return result;
}

int CrashCreateFile(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

bool CrashWriteFile(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    length -= static_cast<size_t>(put);
  }
  return true;
}

void CrashCloseFile(int fd) {
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

void CrashWriteStderr(const char* text) { CrashWriteFile(STDERR_FILENO, text, std::strlen(text)); }

bool CrashWriteCoreDump(const char* dumpPath) {
  if (g_gcorePath[0] == '\0') return false;
  // gcore names its output "<prefix>.<pid>"; it is renamed to the dump path after.
  static char pid[24];
  static char written[kPathCapacity + 32];
  FormatDecimal(static_cast<uint64_t>(getpid()), pid, sizeof(pid));
  CopyText(written, sizeof(written), dumpPath);
  const size_t length = std::strlen(written);
  written[length] = '.';
  CopyText(written + length + 1, sizeof(written) - length - 1, pid);
  char* const argv[] = {g_gcorePath, const_cast<char*>("-o"), const_cast<char*>(dumpPath), pid,
                        nullptr};
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) return false;
  CUniqueFd gateRead(gate[0]);
  CUniqueFd gateWrite(gate[1]);
  const pid_t child = _Fork();
  if (child == 0) {
    char go = 0;
    gateWrite.Reset();
    while (read(gateRead.Get(), &go, 1) < 0 && errno == EINTR) {
    }
    ExecQuietly(g_gcorePath, argv);
  }
  gateRead.Reset();
  // The child (and the debugger it starts) may attach to this process only once
  // allowed; the gate keeps it from trying earlier.
  if (child > 0) prctl(PR_SET_PTRACER, child, 0, 0, 0);
  gateWrite.Reset();
  if (child < 0) return false;
  const bool ok = WaitForChild(child, kCoreDumpTimeoutMs);
  return ok && rename(written, dumpPath) == 0;
}

void CrashOpenFileInViewer(const char* path) {
  if (!g_desktopSession || g_viewerPath[0] == '\0') return;
  char* const argv[] = {g_viewerPath, const_cast<char*>(path), nullptr};
  if (_Fork() == 0) {
    setsid();
    ExecQuietly(g_viewerPath, argv);
  }
}

int CrashCurrentThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

void CrashSleepMilliseconds(int milliseconds) {
  timespec wait{};
  wait.tv_sec = milliseconds / 1000;
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void CrashExitProcess(int exitCode) { _exit(exitCode); }
