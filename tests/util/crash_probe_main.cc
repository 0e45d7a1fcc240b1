// A program that crashes on purpose, for the crash reporter's tests.
//
//   crash_probe <kind> [report folder]
//
// runs one CSimpleThread "Probe_Worker_Thread" that fails in the way <kind>
// names; the reports go to the folder when one is given. Exit code 3 means no
// crash ended the process within 10 s; 2 means an unknown kind.
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "runtime/simple_thread.h"
#include "util/crash_reporter.h"

namespace {

std::atomic<int> g_ready{0};
volatile int g_zero = 0;
volatile int g_sink = 0;

// The undefined-behaviour checker would report these itself; the hardware fault
// is what is wanted.
#define QR_RAW_FAULT __attribute__((no_sanitize("undefined"), noinline))

// The quotient is stored, so the division cannot be folded into a range check.
QR_RAW_FAULT void DivideByZero() { g_sink = 100 / g_zero; }

QR_RAW_FAULT void WriteNull() {
  volatile int* volatile target = nullptr;
  *target = 1;
}

QR_RAW_FAULT int ReadNull() {
  volatile int* volatile source = nullptr;
  return *source;
}

// Each frame keeps a buffer alive so the recursion cannot be turned into a loop;
// the limit is never reached before the stack runs out.
int Recurse(int depth) {
  volatile char frame[512];
  frame[depth % 512] = static_cast<char>(depth);
  if (depth > g_zero + (1 << 30)) return 0;
  return Recurse(depth + 1) + frame[(depth + 1) % 512];
}

#if defined(_WIN32)
// Windows has no such fault for a mapped file.
int ReadPastEndOfFile() { return 0; }
#else
// Touches a mapping beyond the end of its (empty) file: SIGBUS.
int ReadPastEndOfFile() {
  char path[] = "/tmp/crash_probe_bus_XXXXXX";
  const int fd = mkstemp(path);
  unlink(path);
  void* mapping = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  return static_cast<volatile char*>(mapping)[0];
}
#endif

bool Fail(const std::string& kind) {
  if (kind == "divide") DivideByZero();
  if (kind == "write_null") WriteNull();
  if (kind == "read_null") return ReadNull() != 0;
  if (kind == "throw") throw std::runtime_error("probe exception");
  if (kind == "throw_int") throw 42;
  if (kind == "overflow") return Recurse(0) != 0;
  if (kind == "illegal") __builtin_trap();
  if (kind == "breakpoint") asm volatile("int3");
  if (kind == "bus") return ReadPastEndOfFile() != 0;
  return false;
}

class CProbeHandler : public CSimpleThreadHandler {
 public:
  explicit CProbeHandler(std::string kind) : strKind(std::move(kind)) {}
  void Run(CSimpleThread*) override {
    // "twice": both threads fail together once both are running.
    if (strKind == "twice") {
      g_ready.fetch_add(1);
      while (g_ready.load() < 2) {
      }
      WriteNull();
    }
    Fail(strKind);
  }

 private:
  std::string strKind;
};

bool IsKnown(const std::string& kind) {
  for (const char* known : {"divide", "write_null", "read_null", "throw", "throw_int", "overflow",
                            "illegal", "breakpoint", "bus", "twice", "plain_thread"}) {
    if (kind == known) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string kind = argc > 1 ? argv[1] : "";
  if (!IsKnown(kind)) return 2;
  if (argc > 2) SetCrashReportFolder(argv[2]);
  CProbeHandler handler(kind == "plain_thread" ? "none" : kind);
  CSimpleThread first;
  first.SetName("Probe_Worker_Thread");
  first.SetHandler(&handler);
  CSimpleThread second;
  second.SetName("Probe_Second_Thread");
  second.SetHandler(&handler);
  if (first.Start() != 0) return 4;
  if (kind == "twice" && second.Start() != 0) return 4;
  // A thread the reporter was never armed on still gets a report.
  if (kind == "plain_thread") {
    first.Stop();  // its Run has returned, so the handlers are in place
    std::thread([] { WriteNull(); }).join();
  }
  for (int waited = 0; waited < 10000; waited += 10) SleepMilliseconds(10);
  return 3;
}
