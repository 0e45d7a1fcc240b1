#include "status/tcp_console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/stdout_writer.h"
#include "status/access_token.h"
#include "status/terminal_text.h"
#include "util/path_name.h"

namespace {

constexpr char kSeparatorFormat[] =
    "-------------------------------------------------------------------------------\n";

// The file name of a path without its folders and without the extension (from the
// last "." of the file name on). Both "/" and "\" separate folders.
std::string FileTitleOf(const std::string& path) {
  return WithoutExtension(FileNameOf(path, "/\\"), "/\\");
}

size_t ToSize(int value) { return value > 0 ? static_cast<size_t>(value) : 0; }

constexpr char kTokenPrompt[] = "Token: ";
// Telnet's command bytes: "interpret as command" starts one; WILL, WONT, DO and
// DONT take one option byte; SB opens a subnegotiation that IAC SE closes.
constexpr unsigned char kIac = 255;
constexpr unsigned char kSubnegotiationBegin = 250;
constexpr unsigned char kSubnegotiationEnd = 240;
constexpr unsigned char kFirstOptionCommand = 251;

}  // namespace

void AppendConvertedForTelnet(std::string_view text, std::string& out) {
  out.reserve(out.size() + text.size() + text.size() / 8);
  size_t start = 0;
  for (;;) {
    const size_t end = text.find_first_of("\r\n", start);
    AppendWithVisibleControls(text.substr(start, end - start), out);
    if (end == std::string_view::npos) return;
    if (text[end] == '\n') out.append("\n\r");
    start = end + 1;
  }
}

CTcpConsole::CTcpConsole() : chunk(kChunkBytes), discard(kDiscardBytes) {
  backBufferLock.SetName("CTcpConsole::backbuffer");
  tokenLock.SetName("CTcpConsole::token");
  thread.SetName("CTcpConsole::thread");
}

CTcpConsole::~CTcpConsole() { Stop(); }

int CTcpConsole::Start(TcpConsoleSettings& settings) {
  Stop();
  ApplySettings(settings);
  {
    CGrabSimpleCritSec grab(&backBufferLock, "CTcpConsole::Start");
    backBuffer.assign(nBackBufferSize, 0);
    nWritePosition = 0;
    nFillCount = 0;
  }
  if (StartListening()) WriteGreeting();
  settings.nPort = nPort.load();
  return settings.nPort;
}

void CTcpConsole::ApplySettings(const TcpConsoleSettings& settings) {
  strName = settings.strName;
  strAlternateName = settings.strAlternateName;
  if (!strAlternateName.empty()) strName = FileTitleOf(strAlternateName);
  nRequestedPort = settings.nPort;
  bEcho = settings.bEcho;
  nFifoSize = ToSize(settings.nFifoSize);
  nBackBufferSize = ToSize(settings.nBackBufferSize);
  // Converted bytes can be twice the raw ones: so a new client's buffer holds
  // the whole back buffer plus a queue's worth of new output.
  nOutgoingSize = 2 * (nFifoSize + nBackBufferSize);
  strListenAddress = settings.strListenAddress;
  nStallLimitMs = static_cast<uint32_t>(ToSize(settings.nStallLimitMs));
}

// Opens the first free port and starts the thread; false leaves the console inert.
bool CTcpConsole::StartListening() {
  for (int i = 0; i < kPortsTried && !listener; ++i) {
    listener = CTcpListenSocket::Open(nRequestedPort + i, strListenAddress, &startError);
  }
  if (!listener) return false;
  fifo.Reset(nFifoSize);
  nPort.store(listener->Port());
  thread.SetName("CTcpConsole::thread," + std::to_string(listener->Port()) + "," + strName);
  thread.SetHandler(this);
  if (thread.Start() == 0) return true;
  startError = thread.StartFailure();
  nPort.store(0);
  listener.reset();
  fifo.Reset(0);
  return false;
}

// The first content of the back buffer, so every client sees it first.
void CTcpConsole::WriteGreeting() {
  const std::string program = FileTitleOf(GetProgramPath());
  WriteFormatted("%s", kSeparatorFormat);
  WriteFormatted("%s TcpConsole (%i): %s\n", program.c_str(), nPort.load(), strName.c_str());
  WriteFormatted("%s", kSeparatorFormat);
}

void CTcpConsole::WriteText(const char* bytes, size_t length) {
  if (length == 0 || nPort.load() == 0) return;
  if (bEcho) {
    std::string visible;
    AppendWithVisibleControls(std::string_view(bytes, length), visible);
    WriteStdout(visible);
  }
  fifo.Write(bytes, length);
  wake.Set();
}

// A local buffer rather than a shared member: writers may call from any thread.
void CTcpConsole::WriteFormatted(const char* format, ...) {
  if (nPort.load() == 0) return;
  char buffer[kFormatBytes];
  va_list args;
  va_start(args, format);
  const int formatted = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (formatted <= 0) return;
  WriteText(buffer, std::min(static_cast<size_t>(formatted), sizeof(buffer) - 1));
}

// The running flag is cleared before the wake-up, so the woken thread sees it.
void CTcpConsole::SignalStop() {
  thread.SignalStop();
  wake.Set();
}

void CTcpConsole::Stop() {
  nPort.store(0);
  SignalStop();
  thread.Stop();
  listener.reset();
  fifo.Reset(0);
}

void CTcpConsole::SetAccessToken(const std::string& token) {
  CGrabSimpleCritSec grab(&tokenLock, "CTcpConsole::SetAccessToken");
  strAccessToken = token;
}

std::string CTcpConsole::AccessToken() const {
  CGrabSimpleCritSec grab(&tokenLock, "CTcpConsole::AccessToken");
  return strAccessToken;
}

void CTcpConsole::Run(CSimpleThread* runningThread) {
  bool more = false;
  while (runningThread->IsRunning()) {
    if (!more) listener->WaitForConnection(wake, kWaitMilliseconds);
    if (!runningThread->IsRunning()) break;
    more = RunPass();
  }
  CloseAllClients();
}

bool CTcpConsole::RunPass() {
  const size_t taken = fifo.Read(chunk.data(), kChunkBytes);
  AppendToBackBuffer(chunk.data(), taken);
  bool more = ServeClients(std::string_view(chunk.data(), taken));
  // One connection per pass; after one, look again at once for the next.
  if (AcceptClient()) more = true;
  nClientCount.store(clients.size());
  return more || fifo.Waiting() > 0;
}

// REQUIRES: called on the console thread (the only writer).
void CTcpConsole::AppendToBackBuffer(const char* bytes, size_t length) {
  CGrabSimpleCritSec grab(&backBufferLock, "CTcpConsole::AppendToBackBuffer");
  const size_t nSize = backBuffer.size();
  if (nSize == 0) return;
  for (size_t i = 0; i < length; ++i) {
    backBuffer[nWritePosition] = bytes[i];
    nWritePosition = (nWritePosition + 1) % nSize;
  }
  nFillCount = std::min(nSize, nFillCount + length);
}

// Polls every client, drops the closed, failed or stalled ones, sends the chunk
// to the others and throws away their typed input. True when input was left to
// drain.
bool CTcpConsole::ServeClients(std::string_view text) {
  bool more = false;
  const uint32_t now = GetTickCount32();
  const std::string token = AccessToken();
  for (auto it = clients.begin(); it != clients.end();) {
    CTcpSocket& client = *it->socket;
    const int nState = client.Poll();
    if (nState == kTcpStateError || nState == kTcpStateClosed || HasStalled(*it, now)) {
      it = clients.erase(it);
      continue;
    }
    if (!it->bAdmitted) {
      const TokenLine line = token.empty() ? TokenLine::kMatched : ReadTokenLine(*it, token, now);
      if (line == TokenLine::kRefused) {
        client.Close(false);
        it = clients.erase(it);
        continue;
      }
      // The back buffer already holds this pass's chunk: it is not sent twice.
      if (line == TokenLine::kMatched) {
        it->bAdmitted = true;
        it->strTokenLine.clear();
        SendBackBuffer(client);
      }
      ++it;
      continue;
    }
    if (nState == kTcpStateConnected) {
      if (!text.empty()) SendConverted(client, text);
      if (client.Waiting() > kDiscardBytes) {
        client.Read(discard.data(), kDiscardBytes);
        more = true;
      }
    }
    ++it;
  }
  return more;
}

// Sampled after the poll has moved what the network takes: a client that read
// anything since the last pass has room again.
bool CTcpConsole::HasStalled(Client& client, uint32_t now) const {
  if (client.socket->PendingOutput() < nOutgoingSize) {
    client.bFull = false;
    return false;
  }
  if (!client.bFull) {
    client.bFull = true;
    client.nFullSince = now;
  }
  return now - client.nFullSince >= nStallLimitMs;
}

// Takes one pending connection. True when one was pending.
bool CTcpConsole::AcceptClient() {
  std::unique_ptr<CTcpSocket> client = listener->Accept(nOutgoingSize, kIncomingBytes);
  if (!client) return false;
  if (clients.size() >= kMaxClients) {
    client->Close(false);
    return true;
  }
  Client served;
  served.socket = std::move(client);
  if (AccessToken().empty()) {
    SendBackBuffer(*served.socket);
  } else {
    served.bAdmitted = false;
    served.nAcceptedAt = GetTickCount32();
    served.socket->Send(kTokenPrompt, sizeof(kTokenPrompt) - 1);
  }
  clients.push_back(std::move(served));
  return true;
}

CTcpConsole::TokenLine CTcpConsole::ReadTokenLine(Client& client, const std::string& token,
                                                  uint32_t now) {
  while (client.socket->Waiting() > 0) {
    const size_t got = client.socket->Read(discard.data(), discard.size());
    for (size_t i = 0; i < got; ++i) {
      const auto byte = static_cast<unsigned char>(discard[i]);
      switch (client.telnet) {
        case TelnetState::kCommand:
          client.telnet = byte == kSubnegotiationBegin ? TelnetState::kSubnegotiation
                          : byte >= kFirstOptionCommand && byte != kIac ? TelnetState::kOption
                                                                        : TelnetState::kData;
          continue;
        case TelnetState::kOption:
          client.telnet = TelnetState::kData;
          continue;
        case TelnetState::kSubnegotiation:
          if (byte == kIac) client.telnet = TelnetState::kSubnegotiationCommand;
          continue;
        case TelnetState::kSubnegotiationCommand:
          client.telnet =
              byte == kSubnegotiationEnd ? TelnetState::kData : TelnetState::kSubnegotiation;
          continue;
        case TelnetState::kData:
          break;
      }
      if (byte == kIac) {
        client.telnet = TelnetState::kCommand;
      } else if (byte == '\r' || byte == '\n') {
        return AccessTokenMatches(client.strTokenLine, token) ? TokenLine::kMatched
                                                              : TokenLine::kRefused;
      } else if (byte != 0) {
        if (client.strTokenLine.size() >= kTokenLineBytes) return TokenLine::kRefused;
        client.strTokenLine += static_cast<char>(byte);
      }
    }
  }
  return now - client.nAcceptedAt >= kTokenWaitMs ? TokenLine::kRefused : TokenLine::kWaiting;
}

// Sends the back buffer's content oldest first: the older part from the ring's
// oldest byte, then, when the content wraps, the newer part from the ring's start.
void CTcpConsole::SendBackBuffer(CTcpSocket& client) {
  CGrabSimpleCritSec grab(&backBufferLock, "CTcpConsole::SendBackBuffer");
  const size_t nSize = backBuffer.size();
  if (nFillCount == 0) return;
  const size_t nOldest = (nWritePosition + nSize - nFillCount) % nSize;
  const size_t nOlderPart = std::min(nFillCount, nSize - nOldest);
  SendConverted(client, std::string_view(backBuffer.data() + nOldest, nOlderPart));
  if (nOlderPart < nFillCount) {
    SendConverted(client, std::string_view(backBuffer.data(), nWritePosition));
  }
}

void CTcpConsole::SendConverted(CTcpSocket& client, std::string_view text) {
  converted.clear();
  AppendConvertedForTelnet(text, converted);
  client.Send(converted.data(), converted.size());
}

void CTcpConsole::CloseAllClients() {
  for (Client& client : clients) client.socket->Close(false);
  clients.clear();
  nClientCount.store(0);
}
