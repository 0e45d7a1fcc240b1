#include "platform/stdout_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/thread.h"

namespace {

// The standard output's number in the C runtime of every platform.
constexpr int kStdoutDescriptor = 1;

std::string DropLine(uint64_t texts) {
  char line[96];
  std::snprintf(line, sizeof(line), "\n*** Standard output was blocked: %llu texts dropped\n",
                static_cast<unsigned long long>(texts));
  return line;
}

void FlushProcessWriterAtExit() { FlushStdout(); }

// Constructed during static initialisation, so its owner is the process that
// started the program and not a child forked later.
[[maybe_unused]] CStdoutWriter& g_stdoutWriterAtStart = StdoutWriter();

}  // namespace

CStdoutWriter::CStdoutWriter(int descriptor, size_t capacity)
    : nDescriptor(descriptor), nCapacity(capacity), nOwnerPid(getpid()) {}

CStdoutWriter::~CStdoutWriter() {
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!bStarted) return;
    bStop = true;
  }
  wake.notify_one();
  pthread_join(thread, nullptr);
}

bool CStdoutWriter::Write(std::string_view text) {
  if (text.empty()) return true;
  if (InForkedChild()) return WriteWhole(text.data(), text.size());
  std::unique_lock<std::mutex> hold(lock);
  if (!bStarted && !bDirect && !StartThreadLocked()) bDirect = true;
  if (bDirect) {
    hold.unlock();
    return WriteWhole(text.data(), text.size());
  }
  if (!pending.empty() && pending.size() + text.size() > nCapacity) {
    ++nDropped;
    ++nUnreported;
    return false;
  }
  pending.append(text);
  nAccepted += text.size();
  hold.unlock();
  wake.notify_one();
  return true;
}

bool CStdoutWriter::Flush(int stallMs) {
  if (InForkedChild()) return true;
  std::unique_lock<std::mutex> hold(lock);
  const uint64_t target = nAccepted;
  uint64_t seen = nDone;
  while (nDone < target) {
    const bool timedOut =
        progress.wait_for(hold, std::chrono::milliseconds(stallMs)) == std::cv_status::timeout;
    if (timedOut && nDone == seen) return false;
    seen = nDone;
  }
  return true;
}

uint64_t CStdoutWriter::DroppedTexts() const {
  std::lock_guard<std::mutex> hold(lock);
  return nDropped;
}

void* CStdoutWriter::ThreadEntry(void* self) {
  SetCurrentThreadName("CStdoutWriter");
  static_cast<CStdoutWriter*>(self)->Run();
  return nullptr;
}

// Takes everything waiting at once and writes it without the lock; when the
// queue has drained after drops, writes the line that counts them.
void CStdoutWriter::Run() {
  std::string batch;
  for (;;) {
    bool counted = true;
    {
      std::unique_lock<std::mutex> hold(lock);
      wake.wait(hold, [this] { return bStop || !pending.empty() || nUnreported > 0; });
      if (!pending.empty()) {
        batch.swap(pending);
      } else if (nUnreported > 0) {
        batch = DropLine(nUnreported);
        nUnreported = 0;
        counted = false;
      } else {
        return;
      }
    }
    WriteOut(batch, counted);
    batch.clear();
  }
}

void CStdoutWriter::WriteOut(const std::string& bytes, bool counted) {
  for (size_t offset = 0; offset < bytes.size(); offset += kWriteChunkBytes) {
    const size_t length = std::min(kWriteChunkBytes, bytes.size() - offset);
    bool failed = false;
    {
      std::lock_guard<std::mutex> hold(lock);
      failed = bFailed;
    }
    if (!failed && !WriteWhole(bytes.data() + offset, length)) {
      std::lock_guard<std::mutex> hold(lock);
      bFailed = true;
    }
    MarkDone(length, counted);
  }
}

void CStdoutWriter::MarkDone(size_t length, bool counted) {
  if (!counted) return;
  {
    std::lock_guard<std::mutex> hold(lock);
    nDone += length;
  }
  progress.notify_all();
}

CStdoutWriter& StdoutWriter() {
  static CStdoutWriter* const writer = [] {
    auto* created = new CStdoutWriter(kStdoutDescriptor, CStdoutWriter::kCapacityBytes);
    std::atexit(&FlushProcessWriterAtExit);
    return created;
  }();
  return *writer;
}

void WriteStdout(std::string_view text) { StdoutWriter().Write(text); }

bool FlushStdout(int stallMs) { return StdoutWriter().Flush(stallMs); }
