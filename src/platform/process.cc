#include "platform/process.h"

#include <fcntl.h>
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

#include "platform/stdout_writer.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace {

std::string& ProcessCommandLine() {
  static std::string commandLine;
  return commandLine;
}

std::string QuoteArgument(const std::string& argument) {
  if (argument.empty()) return "\"\"";
  if (argument.find(' ') == std::string::npos) return argument;
  const size_t equals = argument.find('=');
  if (equals != std::string::npos && argument.find(' ') > equals) {
    return argument.substr(0, equals + 1) + "\"" + argument.substr(equals + 1) + "\"";
  }
  return "\"" + argument + "\"";
}

// Reverses QuoteArgument for one piece of the command line.
std::string UnquoteArgument(const std::string& piece) {
  if (piece.size() >= 2 && piece.front() == '"' && piece.back() == '"') {
    return piece.substr(1, piece.size() - 2);
  }
  const size_t equals = piece.find('=');
  if (equals != std::string::npos && piece.size() >= equals + 3 && piece[equals + 1] == '"' &&
      piece.back() == '"') {
    return piece.substr(0, equals + 1) + piece.substr(equals + 2, piece.size() - equals - 3);
  }
  return piece;
}

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

// Starts argv with SIGINT/SIGQUIT back at their defaults; `outputFd` >= 0 becomes
// the child's standard output.
ChildResult SpawnAndWait(const std::vector<std::string>& argv, int outputFd, int readFd,
                         std::string* output) {
  ChildResult result;
  if (argv.empty()) {
    result.nError = EINVAL;
    return result;
  }
  std::vector<char*> args;
  for (const std::string& argument : argv) args.push_back(const_cast<char*>(argument.c_str()));
  args.push_back(nullptr);

  posix_spawnattr_t attributes;
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
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, readFd);
  }

  CIgnoreInterrupts ignore;
  // What was printed comes before anything the child prints on the same output.
  FlushStdout();
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (outputFd >= 0) close(outputFd);
  if (error != 0) {
    result.nError = error;
    return result;
  }
  result.bStarted = true;
  if (output != nullptr) {
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(readFd, buffer, sizeof(buffer))) != 0) {
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) break;
      output->append(buffer, static_cast<size_t>(got));
    }
  }
  result.nExitCode = WaitForChild(pid);
  return result;
}

}  // namespace

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

std::string BuildCommandLine(int argc, const char* const* argv) {
  std::string commandLine;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) commandLine += ' ';
    commandLine += QuoteArgument(argv[i] != nullptr ? argv[i] : "");
  }
  return commandLine;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  std::string piece;
  bool inQuotes = false;
  bool havePiece = false;
  for (const char c : commandLine) {
    if (c == ' ' && !inQuotes) {
      if (havePiece) arguments.push_back(UnquoteArgument(piece));
      piece.clear();
      havePiece = false;
      continue;
    }
    if (c == '"') inQuotes = !inQuotes;
    piece += c;
    havePiece = true;
  }
  if (havePiece) arguments.push_back(UnquoteArgument(piece));
  return arguments;
}

void SetProcessCommandLine(int argc, const char* const* argv) {
  ProcessCommandLine() = BuildCommandLine(argc, argv);
}

const std::string& GetProcessCommandLine() { return ProcessCommandLine(); }

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
