#include "platform/process.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/stdout_writer.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace {

// Memory pools of the allocator: the main thread's and one for the others.
constexpr int kAllocatorPools = 2;

bool IsExecutableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Ignores SIGINT and SIGQUIT for its lifetime, as system() does while it waits.
class CIgnoreInterrupts {
 public:
  CIgnoreInterrupts() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &oldInt);
    sigaction(SIGQUIT, &ignore, &oldQuit);
  }
  ~CIgnoreInterrupts() {
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
  }
  CIgnoreInterrupts(const CIgnoreInterrupts&) = delete;
  CIgnoreInterrupts& operator=(const CIgnoreInterrupts&) = delete;

 private:
  struct sigaction oldInt {};
  struct sigaction oldQuit {};
};

int WaitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<char*> ArgumentPointers(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const std::string& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// How posix_spawn sets the child up, released when it goes: SIGINT and SIGQUIT
// back at their defaults and no signal blocked, whatever this process ignores or
// blocks; `outputFd` >= 0 becomes the child's standard output and the child does
// not keep `readFd`, the other end of that pipe.
class CSpawnSettings {
 public:
  CSpawnSettings(int outputFd, int readFd) {
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
      posix_spawn_file_actions_addclose(&actions, readFd);
    }
  }
  ~CSpawnSettings() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  CSpawnSettings(const CSpawnSettings&) = delete;
  CSpawnSettings& operator=(const CSpawnSettings&) = delete;

  const posix_spawnattr_t* Attributes() const { return &attributes; }
  const posix_spawn_file_actions_t* Actions() const { return &actions; }

 private:
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
};

// Starts argv[0], searched on PATH. Returns 0, or the errno of the failed start.
int StartChild(const std::vector<std::string>& argv, int outputFd, int readFd, pid_t* pid) {
  if (argv.empty()) return EINVAL;
  const std::vector<char*> args = ArgumentPointers(argv);
  const CSpawnSettings settings(outputFd, readFd);
  // What was printed comes before anything the child prints on the same output.
  FlushStdout();
  return posix_spawnp(pid, args[0], settings.Actions(), settings.Attributes(), args.data(),
                      environ);
}

// Appends everything readable from `fd` to `output` until the writing end closes.
void ReadUntilEnd(int fd, std::string* output) {
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof(buffer))) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    output->append(buffer, static_cast<size_t>(got));
  }
}

// Runs argv to its end with this process ignoring Ctrl-C meanwhile. With
// `outputFd` >= 0 (the writing end of a pipe, closed here) the child's standard
// output is read from `readFd` into `output`.
ChildResult SpawnAndWait(const std::vector<std::string>& argv, int outputFd, int readFd,
                         std::string* output) {
  ChildResult result;
  CIgnoreInterrupts ignore;
  pid_t pid = 0;
  const int error = StartChild(argv, outputFd, readFd, &pid);
  // Only the child may hold the writing end, or the reader never sees the end.
  if (outputFd >= 0) close(outputFd);
  if (error != 0) {
    result.nError = error;
    return result;
  }
  result.bStarted = true;
  if (output != nullptr) ReadUntilEnd(readFd, output);
  result.nExitCode = WaitForChild(pid);
  return result;
}

}  // namespace

void LimitAllocatorPools() { mallopt(M_ARENA_MAX, kAllocatorPools); }

void ReleaseFreeMemory() { malloc_trim(0); }

void EnsureStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken, which is `fd` while the lower ones are open.
    CUniqueFd opened(open("/dev/null", O_RDWR));
    if (!opened.IsValid()) return;
    if (opened.Get() == fd) {
      opened.Release();  // it is the standard descriptor now: keep it open
      continue;
    }
    dup2(opened.Get(), fd);
  }
}

std::string GetProgramPath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(length));
}

std::string ReadSystemCommandLine() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  for (size_t start = 0; start < raw.size();) {
    const size_t end = raw.find('\0', start);
    arguments.push_back(
        raw.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end == std::string::npos ? raw.size() : end + 1;
  }
  return BuildCommandLine(arguments);
}

std::vector<std::string> ReadProcessArguments(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  return arguments;
}

bool IsEffectiveRoot() { return geteuid() == 0; }

bool IsProgramOnPath(const std::string& program) {
  if (program.empty()) return false;
  if (program.find('/') != std::string::npos) return IsExecutableFile(program);
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string folder = folders.substr(start, end - start);
    if (folder.empty()) folder.assign(1, '.');
    if (IsExecutableFile(folder + "/" + program)) return true;
    start = end + 1;
  }
  return false;
}

ChildResult RunChildAndWait(const std::vector<std::string>& argv) {
  return SpawnAndWait(argv, -1, -1, nullptr);
}

ChildResult RunChildCaptureOutput(const std::vector<std::string>& argv, std::string* output) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ChildResult result;
    result.nError = errno;
    return result;
  }
  // SpawnAndWait closes the write end once the child has its copy.
  const CUniqueFd readEnd(fds[0]);
  return SpawnAndWait(argv, fds[1], readEnd.Get(), output);
}

std::string ErrorMessage(int error) {
  char buffer[256];
  // GNU strerror_r returns the message, which may not be the buffer.
  return strerror_r(error, buffer, sizeof(buffer));
}

void ExitProcessNow(int exitCode) {
  FlushStdout();
  std::fflush(stderr);
  _exit(exitCode);
}
