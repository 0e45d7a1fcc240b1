// Winsock behind the TCP console's sockets: waits that a connection or a wake
// ends, accepted connections that poll without blocking.
#include "platform/tcp_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "support/bounded_wait.h"

namespace {

constexpr int kFirstPort = 32780;
constexpr int kLastPort = 32799;
constexpr size_t kBufferBytes = 4096;

// A listener on the first free port of the range.
std::unique_ptr<CTcpListenSocket> OpenFreeListener() {
  for (int port = kFirstPort; port <= kLastPort; ++port) {
    if (auto listener = CTcpListenSocket::Open(port, "127.0.0.1")) return listener;
  }
  return nullptr;
}

TEST(TcpSocketWinTest, AWakeOrAConnectionEndsTheWaitAndALivePortIsRefused) {
  const auto listener = OpenFreeListener();
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(CTcpListenSocket::Open(listener->Port(), "127.0.0.1"), nullptr)
      << "a port with a live listener";
  EXPECT_EQ(CTcpListenSocket::Open(listener->Port(), "not an address"), nullptr);

  CSocketWake wake;
  std::thread setter([&wake] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    wake.Set();
  });
  auto begin = std::chrono::steady_clock::now();
  listener->WaitForConnection(wake, 20000);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  setter.join();

  EXPECT_EQ(listener->Accept(kBufferBytes, kBufferBytes), nullptr) << "nothing pending";
  ASSERT_TRUE(PokeLoopbackPort(listener->Port(), 2000));
  begin = std::chrono::steady_clock::now();
  listener->WaitForConnection(wake, 20000);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  const std::unique_ptr<CTcpSocket> accepted = listener->Accept(kBufferBytes, kBufferBytes);
  ASSERT_NE(accepted, nullptr);
  // The poking peer closed at once: polling sees the end and never blocks.
  EXPECT_TRUE(WaitUntil([&accepted] { return accepted->Poll() == kTcpStateClosed; }));
}

}  // namespace
