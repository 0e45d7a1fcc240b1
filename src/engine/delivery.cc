#include "engine/delivery.h"

#include <curl/curl.h>

#include <algorithm>
#include <utility>

#include "platform/clock.h"
#include "status/log_output.h"
#include "util/text_util.h"

namespace {

// Rounds of library calls one Drive makes at most: a transfer that ends at once
// (an invalid URL) frees its slot for the next, which starts in the next round.
constexpr int kMaxDriveRounds = 16;
// The library's result code recorded for a transfer that a stop or a reload ended.
constexpr int kEndedCode = -1;

std::string StartText(const std::string& url) {
  return "\nFetching URL: " + UrlDecode(url, false) + "...";
}

const char* ResultText(FetchResult result) {
  return result == FetchResult::kOk ? "OK\n" : "ERROR\n";
}

// The library's callbacks, with its own types (a socket is 64 bits on Windows;
// the platform layer keeps sockets in int descriptors).
int SocketCallback(CURL* /*easy*/, curl_socket_t socket, int what, void* user, void* /*data*/) {
  static_cast<CDelivery*>(user)->OnSocket(static_cast<int>(socket), what);
  return 0;
}

int TimerCallback(CURLM* /*multi*/, long timeoutMs, void* user) {
  static_cast<CDelivery*>(user)->OnTimer(timeoutMs);
  return 0;
}

}  // namespace

std::string HostKeyOf(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return std::string();
  const size_t begin = scheme + 3;
  size_t end = url.find_first_of("/?#", begin);
  if (end == std::string::npos) end = url.size();
  std::string authority = ToLowerAscii(url.substr(begin, end - begin));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  const size_t bracket = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    return authority;
  }
  const std::string schemeName = ToLowerAscii(url.substr(0, scheme));
  return authority + (schemeName == "https" ? ":443" : ":80");
}

void CDelivery::MultiDeleter::operator()(void* handle) const {
  curl_multi_cleanup(static_cast<CURLM*>(handle));
}

CDelivery::CDelivery(const CFetchAbort* abort, IStatusPrinter& output)
    : pAbort(abort), output(output) {
  InitCurlLibraryOnce();
  hMulti.reset(curl_multi_init());
  CURLM* multi = static_cast<CURLM*>(hMulti.get());
  if (multi == nullptr) return;
  curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &SocketCallback);
  curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &TimerCallback);
  curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
}

CDelivery::~CDelivery() { EndAll(); }

void CDelivery::OnSocket(int socket, int what) {
  if (what == CURL_POLL_REMOVE) {
    sockets.Forget(socket);
  } else {
    sockets.Watch(socket, (what & CURL_POLL_IN) != 0, (what & CURL_POLL_OUT) != 0);
  }
}

void CDelivery::OnTimer(long timeoutMs) {
  nTimerDueMs =
      timeoutMs < 0 ? UINT64_MAX : GetMonotonicMilliseconds() + static_cast<uint64_t>(timeoutMs);
}

int CDelivery::AddClient(ClientOptions options) {
  const int id = nNextClient++;
  Client& client = clients[id];
  client.options = std::move(options);
  client.retries.SetEnabled(client.options.bRetries);
  return id;
}

bool CDelivery::MaySend(int client, uint64_t nowMs) const {
  const auto found = clients.find(client);
  if (found == clients.end()) return false;
  return !found->second.bSent || nowMs - found->second.nLastSendMs >= kMinSendIntervalMs;
}

uint64_t CDelivery::NextSendTime(int client) const {
  const auto found = clients.find(client);
  if (found == clients.end() || !found->second.bSent) return 0;
  return found->second.nLastSendMs + kMinSendIntervalMs;
}

CDelivery::Slot& CDelivery::SlotOf(Client& client, size_t slot) {
  if (client.slots.size() <= slot) client.slots.resize(slot + 1);
  return client.slots[slot];
}

void CDelivery::Send(int id, const std::vector<std::string>& urls, const std::string* pushedText) {
  const auto found = clients.find(id);
  if (found == clients.end() || found->second.bRetired) return;
  Client& client = found->second;
  client.nLastSendMs = GetMonotonicMilliseconds();
  client.bSent = true;
  uint64_t text = 0;
  if (pushedText != nullptr && !urls.empty()) {
    text = nNextText++;
    client.texts.push_back(PushedText{text, *pushedText, 0});
  }
  for (size_t index = 0; index < urls.size(); ++index) {
    Slot& slot = SlotOf(client, index);
    // The newest URL of a slot supersedes the one waiting for a retry.
    if (client.retries.IsWaiting(index) && !slot.bBusy) {
      client.retries.Cancel(index);
      CloseText(client, std::exchange(slot.nRetryText, 0));
    }
    if (client.options.bLatestWins) {
      while (!slot.waiting.empty()) Unqueue(slot.waiting.front());
    } else if (slot.waiting.size() >= kMaxQueuedPerSlot) {
      output.Printf("Url%i of task %i: %i URLs waiting, this one dropped\n",
                    static_cast<int>(index), id, static_cast<int>(slot.waiting.size()));
      continue;
    }
    Request request;
    request.nClient = id;
    request.nSlot = index;
    request.strUrl = urls[index];
    request.nText = text;
    if (text != 0) ++client.texts.back().nOpen;
    Enqueue(std::move(request));
  }
  if (text != 0 && client.texts.back().nOpen == 0) client.texts.pop_back();
  Drive();
}

void CDelivery::Enqueue(Request request) {
  request.nSeq = nNextSeq++;
  request.strHost = HostKeyOf(request.strUrl);
  SlotOf(clients[request.nClient], request.nSlot).waiting.push_back(request.nSeq);
  hosts[request.strHost].push_back(request.nSeq);
  const uint64_t seq = request.nSeq;
  queued.emplace(seq, std::move(request));
}

// A request taken out before it started: from its slot, its host queue and the
// table. Its pushed text (if any) is not closed here.
void CDelivery::Unqueue(uint64_t seq) {
  const auto found = queued.find(seq);
  if (found == queued.end()) return;
  const Request& request = found->second;
  Slot& slot = SlotOf(clients[request.nClient], request.nSlot);
  slot.waiting.erase(std::remove(slot.waiting.begin(), slot.waiting.end(), seq),
                     slot.waiting.end());
  std::deque<uint64_t>& host = hosts[request.strHost];
  host.erase(std::remove(host.begin(), host.end(), seq), host.end());
  if (host.empty()) hosts.erase(request.strHost);
  queued.erase(found);
}

void CDelivery::StartReady() {
  if (pAbort != nullptr && pAbort->IsAborted()) return;
  std::vector<uint64_t> startable;
  for (const auto& [host, waiting] : hosts) {
    int running = hostsInFlight[host];
    // Composed order per host: a request whose slot is still busy holds back the
    // later ones for the same host.
    for (const uint64_t seq : waiting) {
      if (running >= nMaxPerHost) break;
      const Request& request = queued.at(seq);
      const Slot& slot = SlotOf(clients[request.nClient], request.nSlot);
      if (slot.bBusy || slot.waiting.front() != seq) break;
      startable.push_back(seq);
      ++running;
    }
  }
  // Started (and their start texts printed) in composed order over all hosts.
  std::sort(startable.begin(), startable.end());
  for (const uint64_t seq : startable) {
    Request request = queued.at(seq);
    Unqueue(seq);
    Start(request);
  }
}

void CDelivery::Start(const Request& request) {
  Client& client = clients[request.nClient];
  Slot& slot = SlotOf(client, request.nSlot);
  Transfer transfer;
  transfer.request = request;
  transfer.nStartMs = GetMonotonicMilliseconds();
  const CLogTaskScope scope(client.options.strLabel);
  transfer.nStartText = output.Printf("%s", StartText(request.strUrl).c_str());
  client.options.status->StartRequest(request.nSlot, request.strUrl, transfer.nStartMs,
                                      GetUnixTime());
  slot.bBusy = true;
  ++hostsInFlight[request.strHost];
  CURL* easy = curl_easy_init();
  CURLM* multi = static_cast<CURLM*>(hMulti.get());
  if (easy == nullptr || multi == nullptr) {
    transfers.emplace(easy, std::move(transfer));
    Finish(easy, FetchResult::kFailed, kEndedCode);
    return;
  }
  SetRequestOptions(easy, request.strUrl, transferLimits);
  transfers.emplace(easy, std::move(transfer));
  if (curl_multi_add_handle(multi, easy) != CURLM_OK)
    Finish(easy, FetchResult::kFailed, kEndedCode);
}

void CDelivery::Drive() {
  CURLM* multi = static_cast<CURLM*>(hMulti.get());
  if (multi == nullptr) return;
  int running = 0;
  for (const SocketReadiness& ready : sockets.TakeReady()) {
    const int mask = (ready.bIn ? CURL_CSELECT_IN : 0) | (ready.bOut ? CURL_CSELECT_OUT : 0) |
                     (ready.bError ? CURL_CSELECT_ERR : 0);
    curl_multi_socket_action(multi, ready.nSocket, mask, &running);
  }
  for (int round = 0; round < kMaxDriveRounds; ++round) {
    const uint64_t now = GetMonotonicMilliseconds();
    if (nTimerDueMs <= now) {
      nTimerDueMs = UINT64_MAX;
      curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
    }
    CollectFinished();
    EndOverdue(now);
    QueueDueRetries(now);
    const size_t before = transfers.size();
    StartReady();
    ForgetIdleRetiredClients();
    // Started transfers want their timer served at once; otherwise all is done.
    if (transfers.size() == before && nTimerDueMs > GetMonotonicMilliseconds()) break;
  }
}

void CDelivery::CollectFinished() {
  CURLM* multi = static_cast<CURLM*>(hMulti.get());
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    const int code = message->data.result;
    Finish(message->easy_handle, ClassifyTransfer(message->easy_handle, code), code);
  }
}

void CDelivery::Finish(void* easy, FetchResult result, int curlCode) {
  const auto found = transfers.find(easy);
  if (found == transfers.end()) return;
  const Transfer transfer = std::move(found->second);
  transfers.erase(found);
  const Request& request = transfer.request;
  const int status = easy != nullptr ? AnswerStatus(easy) : 0;
  if (easy != nullptr) {
    // An ended transfer must not wait for a host name lookup still running.
    if (result == FetchResult::kAborted) curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_multi_remove_handle(static_cast<CURLM*>(hMulti.get()), easy);
    curl_easy_cleanup(easy);
  }
  const uint64_t now = GetMonotonicMilliseconds();
  Client& client = clients[request.nClient];
  const std::string start = StartText(request.strUrl);
  {
    const CLogTaskScope scope(client.options.strLabel);
    output.PrintContinuation(transfer.nStartText, ResultText(result), start + ResultText(result));
  }

  RequestOutcome outcome;
  outcome.failure = ClassifyFailure(result, curlCode);
  outcome.nCurlCode = curlCode;
  outcome.nHttpStatus = status;
  outcome.dSeconds = static_cast<double>(now - transfer.nStartMs) / 1000.0;
  outcome.nUnixTime = GetUnixTime();
  client.options.status->RecordRequest(request.nSlot, request.strUrl, outcome);

  if (--hostsInFlight[request.strHost] <= 0) hostsInFlight.erase(request.strHost);
  Slot& slot = SlotOf(client, request.nSlot);
  slot.bBusy = false;
  // A newer URL already waiting for this slot supersedes a retry.
  const bool superseded = !slot.waiting.empty() || client.bRetired;
  if (request.bRetry) {
    client.retries.RecordRetried(request.nSlot, result, now);
  } else {
    client.retries.RecordSent(request.nSlot, request.strUrl, result, now);
  }
  if (client.retries.IsWaiting(request.nSlot) && superseded) client.retries.Cancel(request.nSlot);
  if (client.retries.IsWaiting(request.nSlot)) {
    slot.nRetryText = request.nText;
  } else {
    CloseText(client, request.nText);
  }
}

void CDelivery::CloseText(Client& client, uint64_t text) {
  if (text == 0) return;
  for (auto it = client.texts.begin(); it != client.texts.end(); ++it) {
    if (it->nId != text) continue;
    if (--it->nOpen == 0) client.texts.erase(it);
    return;
  }
}

void CDelivery::QueueDueRetries(uint64_t nowMs) {
  for (auto& [id, client] : clients) {
    if (client.bRetired || client.retries.Empty() || !MaySend(id, nowMs)) continue;
    const std::vector<size_t> due = client.retries.DueSlots(nowMs);
    if (due.empty()) continue;
    // The due retries of all slots go out together, as one send of the task.
    client.nLastSendMs = nowMs;
    client.bSent = true;
    for (const size_t index : due) {
      client.retries.MarkTrying(index);
      Request request;
      request.nClient = id;
      request.nSlot = index;
      request.strUrl = client.retries.PendingUrl(index);
      request.bRetry = true;
      request.nText = std::exchange(SlotOf(client, index).nRetryText, 0);
      Enqueue(std::move(request));
    }
  }
}

void CDelivery::EndOverdue(uint64_t nowMs) {
  std::vector<void*> overdue;
  for (const auto& [easy, transfer] : transfers) {
    const Client& client = clients[transfer.request.nClient];
    if (client.bRetired && nowMs >= client.nRetiredUntilMs) overdue.push_back(easy);
  }
  for (void* easy : overdue) Finish(easy, FetchResult::kAborted, kEndedCode);
}

std::vector<std::string> CDelivery::TakeUnansweredTexts(int id) {
  std::vector<std::string> texts;
  const auto found = clients.find(id);
  if (found == clients.end()) return texts;
  for (PushedText& text : found->second.texts) texts.push_back(std::move(text.strText));
  found->second.texts.clear();
  return texts;
}

size_t CDelivery::DropQueued(Client& client) {
  size_t dropped = 0;
  for (Slot& slot : client.slots) {
    while (!slot.waiting.empty()) {
      Unqueue(slot.waiting.front());
      ++dropped;
    }
  }
  for (size_t index = 0; index < client.slots.size(); ++index) client.retries.Cancel(index);
  client.texts.clear();
  return dropped;
}

void CDelivery::RetireClients(uint64_t nowMs) {
  for (auto& [id, client] : clients) {
    if (client.bRetired) continue;
    client.bRetired = true;
    client.nRetiredUntilMs = nowMs + kRetireMs;
    DropQueued(client);
  }
  ForgetIdleRetiredClients();
}

void CDelivery::ForgetIdleRetiredClients() {
  for (auto it = clients.begin(); it != clients.end();) {
    bool busy = false;
    for (const Slot& slot : it->second.slots) busy = busy || slot.bBusy;
    if (it->second.bRetired && !busy) {
      it = clients.erase(it);
    } else {
      ++it;
    }
  }
}

uint64_t CDelivery::NextWakeMs() const {
  uint64_t next = nTimerDueMs;
  for (const auto& [id, client] : clients) {
    if (client.bRetired) {
      next = std::min(next, client.nRetiredUntilMs);
    } else if (!client.retries.Empty()) {
      const uint64_t due = client.retries.NextDueMs();
      if (due != UINT64_MAX) next = std::min(next, std::max(due, NextSendTime(id)));
    }
  }
  return next;
}

void CDelivery::EndAll() {
  while (!transfers.empty()) Finish(transfers.begin()->first, FetchResult::kAborted, kEndedCode);
  size_t dropped = 0;
  for (auto& [id, client] : clients) dropped += DropQueued(client);
  if (dropped == 0) return;
  output.Printf("%i queued %s dropped, the service is stopping\n", static_cast<int>(dropped),
                dropped == 1 ? "URL" : "URLs");
}
