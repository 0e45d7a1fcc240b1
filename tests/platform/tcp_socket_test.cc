// The non-blocking listening socket and connection, driven by a real client on
// 127.0.0.1.
#include "platform/tcp_socket.h"

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/bounded_wait.h"
#include "support/loopback.h"

namespace {

TEST(CTcpSocketTest, GracefulCloseDeliversQueuedOutputThenEnds) {
  const int port = FindFreePortBlock(1);
  std::unique_ptr<CTcpListenSocket> listener = CTcpListenSocket::Open(port);
  ASSERT_TRUE(listener);
  CResult why;
  EXPECT_FALSE(CTcpListenSocket::Open(port, "127.0.0.1", &why))
      << "a live listener must refuse a second bind";
  EXPECT_EQ(why.Message(),
            "listen on 127.0.0.1:" + std::to_string(port) + ": Address already in use");
  CLoopbackClient peer(port, 4096);
  std::unique_ptr<CTcpSocket> connection;
  ASSERT_TRUE(WaitUntil([&] { return (connection = listener->Accept(100000, 64)) != nullptr; }));

  // The peer does not read, so the network takes only part; the outgoing buffer
  // takes what fits and the rest is dropped and counted.
  const std::string payload(4 << 20, 'x');
  const size_t nAccepted = connection->Send(payload.data(), payload.size());
  EXPECT_EQ(nAccepted + connection->DroppedBytes(), payload.size());
  EXPECT_EQ(connection->PendingOutput(), 100000u);
  EXPECT_EQ(connection->Send("more", 4), 0u) << "a full buffer takes nothing";
  EXPECT_EQ(connection->State(), kTcpStateConnected);

  connection->Close(true);
  EXPECT_EQ(connection->State(), kTcpStateClosing);
  const bool bEnded = WaitUntil([&] {
    peer.Pump();
    return connection->Poll() == kTcpStateClosed && peer.WaitForClose(std::chrono::milliseconds(1));
  });
  EXPECT_TRUE(bEnded);
  EXPECT_EQ(peer.Received(), payload.substr(0, nAccepted));
}

TEST(CTcpSocketTest, PollReportsPeerCloseAndKeepsIncomingBounded) {
  const int port = FindFreePortBlock(1);
  std::unique_ptr<CTcpListenSocket> listener = CTcpListenSocket::Open(port);
  ASSERT_TRUE(listener);
  auto peer = std::make_unique<CLoopbackClient>(port);
  std::unique_ptr<CTcpSocket> connection;
  ASSERT_TRUE(WaitUntil([&] { return (connection = listener->Accept(1024, 100)) != nullptr; }));
  EXPECT_EQ(listener->Accept(1024, 100), nullptr) << "only one connection was pending";

  EXPECT_EQ(peer->SendSome(std::string(300, 'k')), 300u);
  ASSERT_TRUE(WaitUntil([&] { return (connection->Poll(), connection->Waiting() == 100); }));
  char buffer[300];
  EXPECT_EQ(connection->Read(buffer, 60), 60u);
  EXPECT_EQ(connection->Waiting(), 40u);
  EXPECT_EQ(connection->State(), kTcpStateConnected);

  peer.reset();
  EXPECT_TRUE(WaitUntil([&] {
    connection->Read(buffer, sizeof(buffer));
    return connection->Poll() == kTcpStateClosed;
  }));
  EXPECT_EQ(connection->Send("late", 4), 0u);
}

}  // namespace
