#include "platform/tcp_socket.h"

#include <algorithm>
#include <cstring>

#include "platform/socket_io.h"

CTcpSocket::CTcpSocket(CUniqueSocket descriptor, size_t outgoingCapacity, size_t incomingCapacity)
    : descriptor(std::move(descriptor)),
      nOutgoingCapacity(outgoingCapacity),
      nIncomingCapacity(incomingCapacity) {
  if (!this->descriptor.IsValid()) nState = kTcpStateNoConnection;
}

int CTcpSocket::Poll() {
  if (nState == kTcpStateConnected || nState == kTcpStateClosing) FlushOutgoing();
  if (nState == kTcpStateConnected || nState == kTcpStateClosing) FetchIncoming();
  if (nState == kTcpStateClosing && PendingOutput() == 0) FinishGracefulClose();
  return nState;
}

size_t CTcpSocket::Send(const char* bytes, size_t length) {
  if (nState != kTcpStateConnected || length == 0) return 0;
  // With nothing queued the bytes go straight to the network, so output is not
  // held back until the next Poll.
  const size_t direct = PendingOutput() == 0 ? WriteToNetwork(bytes, length) : 0;
  if (nState != kTcpStateConnected) return direct;
  const size_t room = nOutgoingCapacity - std::min(nOutgoingCapacity, PendingOutput());
  const size_t queued = std::min(room, length - direct);
  outgoing.append(bytes + direct, queued);
  nDroppedBytes += length - direct - queued;
  return direct + queued;
}

size_t CTcpSocket::Read(char* buffer, size_t maximum) {
  const size_t taken = std::min(maximum, incoming.size());
  std::memcpy(buffer, incoming.data(), taken);
  incoming.erase(incoming.begin(), incoming.begin() + static_cast<ptrdiff_t>(taken));
  return taken;
}

void CTcpSocket::Close(bool graceful) {
  if (!descriptor.IsValid()) return;
  if (!graceful) {
    Release(kTcpStateClosed);
    return;
  }
  nState = kTcpStateClosing;
  Poll();
}

// Writes until the network refuses more; a failed write puts the connection into
// the error state. Returns the bytes written.
size_t CTcpSocket::WriteToNetwork(const char* bytes, size_t length) {
  size_t written = 0;
  while (written < length) {
    size_t moved = 0;
    const Transfer outcome = SendSome(descriptor.Get(), bytes + written, length - written, &moved);
    if (outcome == Transfer::kMoved) {
      written += moved;
    } else if (outcome == Transfer::kInterrupted) {
      continue;
    } else if (outcome == Transfer::kWouldBlock) {
      break;
    } else {
      Release(kTcpStateError);
      break;
    }
  }
  return written;
}

void CTcpSocket::FlushOutgoing() {
  if (PendingOutput() == 0) return;
  nOutgoingHead += WriteToNetwork(outgoing.data() + nOutgoingHead, PendingOutput());
  if (nOutgoingHead == outgoing.size()) {
    outgoing.clear();
    nOutgoingHead = 0;
  } else if (nOutgoingHead > outgoing.size() / 2) {
    outgoing.erase(0, nOutgoingHead);
    nOutgoingHead = 0;
  }
}

void CTcpSocket::FetchIncoming() {
  while (descriptor.IsValid() && incoming.size() < nIncomingCapacity) {
    const size_t have = incoming.size();
    incoming.resize(nIncomingCapacity);
    size_t moved = 0;
    const Transfer outcome =
        ReceiveSome(descriptor.Get(), incoming.data() + have, nIncomingCapacity - have, &moved);
    incoming.resize(have + (outcome == Transfer::kMoved ? moved : 0));
    if (outcome == Transfer::kInterrupted) continue;
    if (outcome == Transfer::kWouldBlock) return;
    if (outcome == Transfer::kPeerClosed) Release(kTcpStateClosed);
    if (outcome == Transfer::kFailed) Release(kTcpStateError);
  }
}

void CTcpSocket::FinishGracefulClose() {
  ShutdownSending(descriptor.Get());
  Release(kTcpStateClosed);
}

void CTcpSocket::Release(int state) {
  descriptor.Reset();
  nState = state;
  outgoing.clear();
  nOutgoingHead = 0;
}

// --- CTcpListenSocket ---

std::unique_ptr<CTcpListenSocket> CTcpListenSocket::Open(int port, const std::string& address,
                                                         CResult* why) {
  const std::string context = "listen on " + (address.empty() ? std::string("0.0.0.0") : address) +
                              ":" + std::to_string(port);
  CResult failed;
  std::unique_ptr<CTcpListenSocket> listener;
  if (port <= 0 || port > 65535) {
    failed = CResult::Failure(CResultCode::kInvalidArgument, context, "not a port number");
  } else if (!address.empty() && !IsIPv4Address(address)) {
    failed = CResult::Failure(CResultCode::kInvalidArgument, context, "not a dotted IPv4 address");
  } else {
    int error = 0;
    listener = Listen(port, address, &error);
    if (!listener) failed = CResult::FromSystemError(context, error);
  }
  if (why != nullptr) *why = failed;
  return listener;
}
