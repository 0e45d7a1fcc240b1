#include "config/file_change_check.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "platform/clock.h"
#include "platform/file_system.h"

namespace {

// The content is hashed in pieces of this size, so a large file needs no large
// buffer.
constexpr size_t kHashChunkBytes = 16384;
// Mixes the pieces' hashes in order (the FNV-1 prime).
constexpr uint64_t kHashMixPrime = 1099511628211u;

// Time from `then` to `now`; none when `then` is not earlier, so a moment taken
// a little after `now` never reads as an age of centuries.
uint64_t MillisecondsSince(uint64_t then, uint64_t now) { return now > then ? now - then : 0; }

}  // namespace

CFileChangeCheck::CFileChangeCheck(const CFileStat& stat, uint64_t hashBytes, uint64_t racyWindowMs)
    : pStat(&stat), nHashBytes(hashBytes), nRacyWindowMs(racyWindowMs) {}

FileVersion CFileChangeCheck::Compare(const std::string& path) {
  FileChangeToken current;
  if (!pStat->Query(path, &current)) return FileVersion::kMissing;
  if (!bTaken) return FileVersion::kNew;
  if (!bExisted || !current.SameVersion(token)) return Settle(path, current);
  if (current.nChangedNs == token.nChangedNs && !InRacyWindow()) {
    bSettling = false;
    return FileVersion::kSame;
  }
  uint64_t hash = 0;
  const bool hashed = HashContent(path, &hash);
  if (hashed != bHashed || hash != nContentHash) return Settle(path, current);
  // Same content after all: the new status-change time needs no second look.
  token.nChangedNs = current.nChangedNs;
  bSettling = false;
  return FileVersion::kSame;
}

FileVersion CFileChangeCheck::Settle(const std::string& path, const FileChangeToken& current) {
  if (pWriteReports == nullptr) return FileVersion::kNew;
  // Asked after the look, so every write the look saw has told its event, all
  // but one still inside the writer's call. The clock is read after it: the
  // report's write times must not lie ahead of `now`.
  const FileWriteReport report = pWriteReports->WriteReport(path);
  const uint64_t now = GetMonotonicMilliseconds();
  bool newLook = false;
  if (!bSettling) {
    bSettling = true;
    nFirstChangeMs = now;
    newLook = true;
  } else {
    newLook = !current.SameVersion(lookToken);
  }
  if (newLook) {
    lookToken = current;
    nLastChangeMs = now;
  }
  const bool told =
      report.bProbed || (report.state != WriterState::kUnknown && report.nEvents != nEventsAtTake);
  // That one matters most when a truncation has emptied the file and the last
  // event is still the close before it: an empty file counts as closed only on
  // a close told after a look found it empty.
  if (newLook) nEventsAtLook = report.nEvents;
  const bool closed = report.state == WriterState::kClosed &&
                      (report.bProbed || current.nSize != 0 || report.nEvents != nEventsAtLook);
  // A version found done holds only if nothing is written until it is taken:
  // the stat can see a truncation whose event is not queued yet.
  nEventsDecided = report.nEvents;
  bDecidedDone = true;
  if (told && closed) return FileVersion::kNew;
  if (told) nLastChangeMs = std::max(nLastChangeMs, report.nLastWriteMs);
  // An empty file that no event explains may be a writer's truncation whose
  // write a busy machine holds back: it must stay empty longer to be believed.
  const uint64_t quietMs = !told && current.nSize == 0 ? kMaxSettleMs : kQuietMs;
  if (MillisecondsSince(nLastChangeMs, now) >= quietMs) return FileVersion::kNew;
  bDecidedDone = false;
  // A writer that never stops is read anyway, but not in the instant it has
  // emptied the file to write it again (a closed one was taken above).
  if (MillisecondsSince(nFirstChangeMs, now) >= kMaxSettleMs && current.nSize != 0) {
    return FileVersion::kNew;
  }
  nNextLookMs = std::min(nLastChangeMs + quietMs, nFirstChangeMs + kMaxSettleMs);
  if (nNextLookMs <= now) nNextLookMs = now + kEmptiedLookMs;
  return FileVersion::kSettling;
}

bool CFileChangeCheck::StillTaken(const std::string& path) {
  // Nothing taken (a one-off read, as the configuration check makes): nothing
  // to compare with.
  if (!bTaken) return true;
  FileChangeToken current;
  if (bWrittenSinceDecided || !bExisted || !pStat->Query(path, &current)) return false;
  if (!current.SameVersion(token) || current.nChangedNs != token.nChangedNs) return false;
  return pWriteReports == nullptr || pWriteReports->WriteReport(path).nEvents == nEventsAtTake;
}

uint64_t CFileChangeCheck::NextLookMs() const { return bSettling ? nNextLookMs : UINT64_MAX; }

bool CFileChangeCheck::Differs(const std::string& path) {
  const FileVersion version = Compare(path);
  if (version == FileVersion::kMissing) return bTaken && bExisted;
  return version == FileVersion::kNew;
}

void CFileChangeCheck::Take(const std::string& path) {
  // The writer's events before the token: a write starting in between counts as
  // told next time.
  if (pWriteReports != nullptr) nEventsAtTake = pWriteReports->WriteReport(path).nEvents;
  const bool decided = bSettling && bDecidedDone;
  bWrittenSinceDecided = decided && nEventsAtTake != nEventsDecided;
  bSettling = false;
  bDecidedDone = false;
  // The token first: a write landing between it and the read shows as a new
  // token next time, at worst one needless read.
  bTaken = true;
  bExisted = pStat->Query(path, &token);
  // A writer that truncated the file since the look that found it done may not
  // have told its event yet; the stat already shows it.
  if (decided && bExisted && !token.SameVersion(lookToken)) bWrittenSinceDecided = true;
  nContentHash = 0;
  bHashed = bExisted && HashContent(path, &nContentHash);
  nTakenAtMs = GetMonotonicMilliseconds();
}

bool CFileChangeCheck::InRacyWindow() const {
  return GetMonotonicMilliseconds() - nTakenAtMs < nRacyWindowMs;
}

bool CFileChangeCheck::HashContent(const std::string& path, uint64_t* hash) const {
  CReadOnlyFile file;
  if (!file.Open(path).ok()) return false;
  char chunk[kHashChunkBytes];
  uint64_t mixed = 0;
  for (uint64_t done = 0; done < nHashBytes;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof(chunk), nHashBytes - done));
    const int64_t count = file.Read(chunk, want);
    if (count < 0) return false;
    if (count == 0) break;
    const std::string_view piece(chunk, static_cast<size_t>(count));
    mixed = (mixed ^ std::hash<std::string_view>{}(piece)) * kHashMixPrime;
    done += static_cast<uint64_t>(count);
  }
  *hash = mixed;
  return true;
}
