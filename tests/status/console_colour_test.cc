#include "status/console_colour.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "platform/stdout_writer.h"

namespace {

enum class StdoutKind { kTerminal, kPipe };

// Reads `fd` until end of output (EIO on a pseudo-terminal whose child ended).
std::string ReadAll(int fd) {
  std::string received;
  char buffer[256];
  pollfd watch{fd, POLLIN, 0};
  while (poll(&watch, 1, 2000) > 0) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got <= 0) break;
    received.append(buffer, static_cast<size_t>(got));
  }
  return received;
}

// Runs `body` in a child whose stdout is a fresh pseudo-terminal or a pipe, with
// NO_COLOR set or removed, and returns the bytes it wrote.
std::string CaptureChildStdout(StdoutKind kind, bool noColour, const std::function<void()>& body) {
  int readEnd = -1;
  pid_t child = -1;
  if (kind == StdoutKind::kTerminal) {
    termios raw{};
    cfmakeraw(&raw);  // no newline translation or echo: the bytes arrive as written
    child = forkpty(&readEnd, nullptr, &raw, nullptr);
  } else {
    int ends[2];
    if (pipe(ends) != 0) return "pipe failed";
    child = fork();
    if (child == 0) dup2(ends[1], STDOUT_FILENO);
    close(ends[1]);
    readEnd = ends[0];
  }
  if (child < 0) return "fork failed";
  if (child == 0) {
    if (noColour) {
      setenv("NO_COLOR", "1", 1);
    } else {
      unsetenv("NO_COLOR");
    }
    body();
    std::fflush(stdout);
    _exit(0);
  }
  const std::string received = ReadAll(readEnd);
  close(readEnd);
  int status = 0;
  waitpid(child, &status, 0);
  return received;
}

void PrintInEveryColour() {
  CConsoleColour colour;
  const int attributes[] = {CConsoleColour::kColourSuccess, CConsoleColour::kColourWarning,
                            CConsoleColour::kColourBanner, CConsoleColour::kColourError,
                            CConsoleColour::kColourNormal};
  for (const int attribute : attributes) {
    colour.SetColour(attribute);
    WriteStdout(std::to_string(attribute) + "|");
  }
  colour.SetColour(CConsoleColour::kColourError);
  WriteStdout("end");
  // The destructor restores the normal colour.
}

TEST(CConsoleColourTest, TerminalGetsAnsiEscapes) {
  EXPECT_EQ(CaptureChildStdout(StdoutKind::kTerminal, false, PrintInEveryColour),
            "\x1b[0;92m10|\x1b[0;93m14|\x1b[0;97m15|\x1b[0;97;41m79|\x1b[0m-1|"
            "\x1b[0;97;41mend\x1b[0m");
}

TEST(CConsoleColourTest, NoEscapeWithoutATerminalOrWithNoColour) {
  const std::string plain = "10|14|15|79|-1|end";
  EXPECT_EQ(CaptureChildStdout(StdoutKind::kPipe, false, PrintInEveryColour), plain);
  EXPECT_EQ(CaptureChildStdout(StdoutKind::kTerminal, true, PrintInEveryColour), plain);
}

TEST(CConsoleColourTest, NormalColourAloneWritesNoResetAtTheEnd) {
  EXPECT_EQ(CaptureChildStdout(StdoutKind::kTerminal, false,
                               [] {
                                 CConsoleColour colour;
                                 WriteStdout("text");
                               }),
            "text");
}

}  // namespace
