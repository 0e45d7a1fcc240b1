// The TCP status console, driven with real TCP clients on 127.0.0.1.
#include "status/tcp_console.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "status/http_server.h"
#include "status/log_output.h"
#include "status/status_channel_settings.h"
#include "support/bounded_wait.h"
#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Converted(std::string_view text) {
  std::string out;
  AppendConvertedForTelnet(text, out);
  return out;
}

std::string ProgramTitle() {
  char path[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  std::string title(path, n > 0 ? static_cast<size_t>(n) : 0);
  title.erase(0, title.rfind('/') + 1);
  return title.substr(0, title.rfind('.'));
}

std::string GreetingFor(int port, const std::string& name) {
  const std::string separator = std::string(79, '-') + "\n";
  return separator + ProgramTitle() + " TcpConsole (" + std::to_string(port) + "): " + name + "\n" +
         separator;
}

class CTcpConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nBase = FindFreePortBlock(10);
    ASSERT_NE(nBase, 0) << "no free block of ports";
    settings.strName = "Quillrade";
    settings.nPort = nBase;
  }

  int StartConsole() { return console.Start(settings); }

  // Writes `text` and waits until `watcher` has received it, so that the writes
  // never outrun the console's queue.
  void WriteDelivered(CLoopbackClient& watcher, const std::string& text) {
    const size_t nBefore = watcher.Received().size();
    console.WriteText(text.data(), text.size());
    ASSERT_TRUE(watcher.WaitForBytes(nBefore + Converted(text).size()));
  }

  int nBase = 0;
  TcpConsoleSettings settings;
  CTcpConsole console;
};

TEST(TelnetConversionTest, ExpandsLineFeedsDropsCarriageReturnsAndShowsControls) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"a\n", "a\n\r"},
      {"a\r\nb", "a\n\rb"},
      {"\n\r", "\n\r"},
      {"\r\r", ""},
      {"\n\n", "\n\r\n\r"},
      {std::string("x\0y\xff", 4), "x^@y\xff"},
      {"\x1b[2J\x1b]0;T\x07\r\n\t\x7f", "^[[2J^[]0;T^G\n\r\t^?"},
  };
  for (const auto& c : cases) EXPECT_EQ(Converted(c.in), c.out) << c.in;
}

TEST_F(CTcpConsoleTest, NewClientGetsGreetingThenLiveTextConverted) {
  ASSERT_EQ(StartConsole(), nBase);
  EXPECT_EQ(settings.nPort, nBase);
  EXPECT_EQ(console.Port(), nBase);
  CLoopbackClient client(nBase);
  ASSERT_TRUE(client.Connected());
  const std::string greeting = Converted(GreetingFor(nBase, "Quillrade"));
  ASSERT_TRUE(client.WaitForBytes(greeting.size()));
  EXPECT_EQ(client.Received(), greeting);

  console.WriteText("first line\r\nsecond\n", 19);
  console.WriteFormatted("value %d\n", 42);
  const std::string expected = greeting + "first line\n\rsecond\n\rvalue 42\n\r";
  ASSERT_TRUE(client.WaitForBytes(expected.size()));
  EXPECT_EQ(client.Received(), expected);
}

TEST_F(CTcpConsoleTest, StatusOutputForwardsToAttachedConsoleOnly) {
  ASSERT_NE(StartConsole(), 0);
  CLoopbackClient client(console.Port());
  const std::string greeting = Converted(GreetingFor(console.Port(), "Quillrade"));
  ASSERT_TRUE(client.WaitForBytes(greeting.size()));

  g_logOutput.SetStdoutEnabled(false);
  g_logOutput.AttachConsole(&console);
  g_logOutput.Printf("HTTP push %s: %s\r\n", "/input0", "hello");
  g_logOutput.AttachConsole(nullptr);
  g_logOutput.Printf("not forwarded\n");
  console.WriteText("marker\n", 7);
  g_logOutput.SetStdoutEnabled(true);

  ASSERT_TRUE(client.WaitForText("marker\n\r"));
  EXPECT_EQ(client.Received(), greeting + "HTTP push /input0: hello\n\rmarker\n\r");
}

// After more output than the back buffer holds, a new client receives exactly the
// most recent back-buffer-size bytes, oldest first, converted; the client that
// watched from the start received every byte.
TEST_F(CTcpConsoleTest, LateClientGetsExactlyTheLastBackBufferBytes) {
  ASSERT_NE(StartConsole(), 0);
  const int port = console.Port();
  CLoopbackClient watcher(port);
  std::string raw = GreetingFor(port, "Quillrade");
  ASSERT_TRUE(watcher.WaitForBytes(Converted(raw).size()));

  std::string piece;
  for (int line = 0; raw.size() + piece.size() < 40 * 1024; ++line) {
    piece += "line " + std::to_string(line) + (line % 3 == 0 ? " crlf\r\n" : " lf\n");
    if (piece.size() > 3000) {
      WriteDelivered(watcher, piece);
      raw += piece;
      piece.clear();
    }
  }
  WriteDelivered(watcher, piece);
  raw += piece;
  EXPECT_EQ(watcher.Received(), Converted(raw));

  CLoopbackClient late(port);
  ASSERT_TRUE(WaitUntil([&] { return console.ClientCount() == 2; }));
  console.WriteText("end\n", 4);
  const std::string expected = Converted(raw.substr(raw.size() - 32768)) + "end\n\r";
  ASSERT_TRUE(late.WaitForText("end\n\r"));
  EXPECT_EQ(late.Received().size(), expected.size());
  EXPECT_TRUE(late.Received() == expected) << "back buffer replay differs";
}

TEST_F(CTcpConsoleTest, BusyPortsAreSkippedAndNoFreePortLeavesConsoleInert) {
  {
    CPortHolder busy(nBase);
    ASSERT_TRUE(busy.Holding());
    EXPECT_EQ(StartConsole(), nBase + 1);
    EXPECT_EQ(settings.nPort, nBase + 1);
    CLoopbackClient client(nBase + 1);
    EXPECT_TRUE(client.WaitForText(Converted(GreetingFor(nBase + 1, "Quillrade"))));
    console.Stop();
  }

  const int base = FindFreePortBlock(CTcpConsole::kPortsTried + 1);
  ASSERT_NE(base, 0);
  std::vector<std::unique_ptr<CPortHolder>> holders;
  for (int p = base; p < base + CTcpConsole::kPortsTried; ++p) {
    holders.push_back(std::make_unique<CPortHolder>(p));
    ASSERT_TRUE(holders.back()->Holding());
  }
  settings.nPort = base;
  EXPECT_EQ(StartConsole(), 0);
  EXPECT_EQ(settings.nPort, 0);
  EXPECT_EQ(console.Port(), 0);
  console.WriteText("ignored\n", 8);
  console.WriteFormatted("%s", "ignored");
  CLoopbackClient next(base + CTcpConsole::kPortsTried);
  EXPECT_FALSE(next.Connected()) << "the port after the tried range must stay untouched";
}

// True when a TCP connection to `address`:`port` is accepted.
bool Connects(const char* address, int port) {
  const int descriptor = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &target.sin_addr);
  const bool connected =
      connect(descriptor, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
  close(descriptor);
  return connected;
}

TEST_F(CTcpConsoleTest, ListenAddressLimitsWhereTheFeedIsReachable) {
  ASSERT_EQ(StartConsole(), nBase);
  EXPECT_TRUE(Connects("127.0.0.2", nBase)) << "all interfaces by default";
  console.Stop();

  settings.nPort = nBase;
  settings.strListenAddress = "127.0.0.1";
  ASSERT_EQ(StartConsole(), nBase);
  EXPECT_FALSE(Connects("127.0.0.2", nBase));
  CLoopbackClient client(nBase);
  EXPECT_TRUE(client.WaitForText("TcpConsole"));
  console.Stop();

  settings.nPort = nBase;
  settings.strListenAddress = "localhost";
  EXPECT_EQ(StartConsole(), 0) << "only a dotted IPv4 address is taken";

  // An address this machine does not have: the report says why on its own line.
  settings.nPort = nBase;
  settings.strListenAddress = "192.0.2.1";
  ASSERT_EQ(StartConsole(), 0);
  StatusChannelSettings channels;
  channels.strListenAddress = settings.strListenAddress;
  ReportStatusChannelProblems(channels, CHttpServer(), console);
  std::string printed;
  for (const std::string& text : g_logOutput.RecentTexts()) printed += text;
  EXPECT_NE(printed.find("Telnet status feed not started\n  listen on 192.0.2.1:"),
            std::string::npos)
      << printed;
}

TEST_F(CTcpConsoleTest, AlternateNameBecomesItsFileTitle) {
  const struct {
    std::string alternate;
    std::string name;
  } cases[] = {
      {"C:\\apps\\feed.v2\\My.Feed.exe", "My.Feed"},
      {"/opt/v1.2/relay", "relay"},
      {"plain", "plain"},
  };
  for (const auto& c : cases) {
    settings.strAlternateName = c.alternate;
    settings.nPort = nBase;
    ASSERT_NE(StartConsole(), 0);
    EXPECT_EQ(console.Name(), c.name);
    CLoopbackClient client(console.Port());
    EXPECT_TRUE(client.WaitForText("): " + c.name + "\n\r")) << c.alternate;
    console.Stop();
  }
}

// A client that never reads fills only its own buffers: a reading client keeps
// receiving every byte in order, and the stalled one still got the oldest output.
TEST_F(CTcpConsoleTest, ClientThatNeverReadsDoesNotStallOthers) {
  ASSERT_NE(StartConsole(), 0);
  const int port = console.Port();
  CLoopbackClient stalled(port, 4096);
  CLoopbackClient reader(port);
  std::string raw = GreetingFor(port, "Quillrade");
  ASSERT_TRUE(reader.WaitForBytes(Converted(raw).size()));
  ASSERT_TRUE(WaitUntil([&] { return console.ClientCount() == 2; }));

  const std::string line = std::string(60, 's') + "\n";
  std::string piece;
  for (int i = 0; i < 64; ++i) piece += line;
  for (int i = 0; i < 256; ++i) {  // about 1 MB
    WriteDelivered(reader, piece);
    raw += piece;
  }
  EXPECT_EQ(reader.Received(), Converted(raw));
  EXPECT_EQ(console.ClientCount(), 2u);

  ASSERT_TRUE(stalled.WaitForBytes(Converted(raw).size() / 100));
  EXPECT_EQ(stalled.Received().substr(0, 80), Converted(raw).substr(0, 80));
}

TEST_F(CTcpConsoleTest, TypedInputIsDrainedAndNeverEchoed) {
  ASSERT_NE(StartConsole(), 0);
  CLoopbackClient client(console.Port(), 0, 8192);
  const std::string greeting = Converted(GreetingFor(console.Port(), "Quillrade"));
  ASSERT_TRUE(client.WaitForBytes(greeting.size()));

  // Far more than the network buffers hold: only draining lets it all through.
  const std::string block(65536, 't');
  size_t nSent = 0;
  const size_t nTotal = 2u << 20;
  EXPECT_TRUE(WaitUntil(
      [&] {
        nSent += client.SendSome(block.substr(0, std::min(block.size(), nTotal - nSent)));
        return nSent >= nTotal;
      },
      std::chrono::milliseconds(10000)));
  console.WriteText("after\n", 6);
  ASSERT_TRUE(client.WaitForText("after\n\r"));
  EXPECT_EQ(client.Received(), greeting + "after\n\r");
}

// 64 clients are served; the 65th is closed at once; a freed place is taken again.
TEST_F(CTcpConsoleTest, ClientsBeyondSixtyFourAreClosedAtOnce) {
  ASSERT_NE(StartConsole(), 0);
  const int port = console.Port();
  const std::string separator = Converted(std::string(79, '-') + "\n");
  std::vector<std::unique_ptr<CLoopbackClient>> clients;
  // In groups no larger than the listen backlog; a write wakes the console.
  while (clients.size() < CTcpConsole::kMaxClients) {
    const size_t nGroupStart = clients.size();
    for (int i = 0; i < CTcpListenSocket::kBacklog && clients.size() < CTcpConsole::kMaxClients;
         ++i) {
      clients.push_back(std::make_unique<CLoopbackClient>(port));
    }
    console.WriteText("tick\n", 5);
    for (size_t i = nGroupStart; i < clients.size(); ++i) {
      ASSERT_TRUE(clients[i]->WaitForText("tick\n\r")) << "client " << i;
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return console.ClientCount() == CTcpConsole::kMaxClients; }));

  CLoopbackClient refused(port);
  console.WriteText("tock\n", 5);
  EXPECT_TRUE(refused.WaitForClose(std::chrono::milliseconds(2000)));
  EXPECT_EQ(refused.Received(), "");
  for (auto& client : clients) EXPECT_TRUE(client->WaitForText("tock\n\r"));

  clients.front()->Close();
  console.WriteText("tack\n", 5);
  ASSERT_TRUE(WaitUntil([&] { return console.ClientCount() == CTcpConsole::kMaxClients - 1; }));
  CLoopbackClient again(port);
  console.WriteText("tuck\n", 5);
  EXPECT_TRUE(again.WaitForText("tuck\n\r"));
  EXPECT_EQ(again.Received().substr(0, separator.size()), separator);
}

// Clients that never read, in every place but one: once their buffers have
// stayed full for the stall limit they are dropped, the reading client keeps
// receiving, and the freed places take new clients.
TEST_F(CTcpConsoleTest, ClientsThatNeverReadAreDroppedAfterTheStallLimit) {
  settings.nStallLimitMs = 300;
  ASSERT_NE(StartConsole(), 0);
  const int port = console.Port();
  CLoopbackClient reader(port);
  ASSERT_TRUE(reader.WaitForText("TcpConsole"));
  std::vector<std::unique_ptr<CLoopbackClient>> stalled;
  while (stalled.size() < CTcpConsole::kMaxClients - 1) {
    stalled.push_back(std::make_unique<CLoopbackClient>(port, 4096));
    ASSERT_TRUE(WaitUntil([&] { return console.ClientCount() == stalled.size() + 1; }));
  }

  const std::string piece = std::string(2000, 'f') + "\n";
  EXPECT_TRUE(WaitUntil(
      [&] {
        WriteDelivered(reader, piece);
        return console.ClientCount() == 1;
      },
      std::chrono::milliseconds(20000)))
      << console.ClientCount() << " clients left";
  WriteDelivered(reader, "still here\n");
  for (int i = 0; i < 3; ++i) {
    CLoopbackClient fresh(port);
    EXPECT_TRUE(fresh.WaitForText("still here\n\r")) << i;
  }
}

// The thread wakes for a new connection, not only for new text or its timeout:
// clients that connect one after the other, while nothing is written, each get
// the back buffer at once.
TEST_F(CTcpConsoleTest, ConnectionsAreAcceptedWithoutWaitingForTheTimeout) {
  ASSERT_NE(StartConsole(), 0);
  constexpr int kClients = 20;
  const auto begin = Clock::now();
  for (int i = 0; i < kClients; ++i) {
    CLoopbackClient client(console.Port());
    ASSERT_TRUE(client.WaitForText("TcpConsole")) << i;
  }
  // Waiting for the timeout would take kClients * kWaitMilliseconds (10 s).
  EXPECT_LT(Clock::now() - begin,
            std::chrono::milliseconds(kClients * CTcpConsole::kWaitMilliseconds / 2));
}

TEST_F(CTcpConsoleTest, StopEndsPromptlyAndClosesClients) {
  ASSERT_NE(StartConsole(), 0);
  const int port = console.Port();
  CLoopbackClient reader(port);
  CLoopbackClient stalled(port, 4096);
  ASSERT_TRUE(reader.WaitForText("TcpConsole"));
  ASSERT_TRUE(WaitUntil([&] { return console.ClientCount() == 2; }));
  const std::string bulk(6000, 'b');
  for (int i = 0; i < 50; ++i) WriteDelivered(reader, bulk);

  const auto begin = Clock::now();
  console.SignalStop();
  console.Stop();
  EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(400));
  EXPECT_EQ(console.Port(), 0);
  EXPECT_TRUE(reader.WaitForClose(std::chrono::milliseconds(2000)));
  EXPECT_TRUE(stalled.WaitForClose(std::chrono::milliseconds(2000)));
  console.WriteText("after stop\n", 11);

  // The port is free again at once and the console can start anew.
  EXPECT_EQ(StartConsole(), port);
  CLoopbackClient fresh(port);
  EXPECT_TRUE(fresh.WaitForText("TcpConsole"));
}

}  // namespace

// Before the token line nothing but the prompt; NUL bytes and telnet commands in
// it are skipped; a wrong token closes.
TEST_F(CTcpConsoleTest, TokenLineComesBeforeAnyByteOfTheFeed) {
  console.SetAccessToken("feed-token-0123456");
  ASSERT_NE(StartConsole(), 0);
  console.WriteText("secret status\n", 14);
  CLoopbackClient client(console.Port());
  ASSERT_TRUE(client.WaitForBytes(7));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  client.Pump();
  EXPECT_EQ(client.Received(), "Token: ");
  using namespace std::string_literals;
  client.SendSome(
      "\xff\xfd\x01"
      "feed-\0token-\xff\xfa\x18x\xff\xf0"
      "0123456\r\n"s);
  ASSERT_TRUE(client.WaitForText("secret status\n\r"));
  EXPECT_EQ(client.Received().find(GreetingFor(console.Port(), "Quillrade").substr(0, 79)), 7u);

  CLoopbackClient wrong(console.Port());
  ASSERT_TRUE(wrong.WaitForBytes(7));
  wrong.SendSome("feed-token-012345\n");
  EXPECT_TRUE(wrong.WaitForClose(std::chrono::milliseconds(2000)));
  EXPECT_EQ(wrong.Received(), "Token: ");
}
