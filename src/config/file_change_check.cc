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

}  // namespace

CFileChangeCheck::CFileChangeCheck(const CFileStat& stat, uint64_t hashBytes, uint64_t racyWindowMs)
    : pStat(&stat), nHashBytes(hashBytes), nRacyWindowMs(racyWindowMs) {}

FileVersion CFileChangeCheck::Compare(const std::string& path) {
  FileChangeToken current;
  if (!pStat->Query(path, &current)) return FileVersion::kMissing;
  if (!bTaken || !bExisted || !current.SameVersion(token)) return FileVersion::kNew;
  if (current.nChangedNs == token.nChangedNs && !InRacyWindow()) return FileVersion::kSame;
  uint64_t hash = 0;
  const bool hashed = HashContent(path, &hash);
  if (hashed != bHashed || hash != nContentHash) return FileVersion::kNew;
  // Same content after all: the new status-change time needs no second look.
  token.nChangedNs = current.nChangedNs;
  return FileVersion::kSame;
}

bool CFileChangeCheck::Differs(const std::string& path) {
  const FileVersion version = Compare(path);
  if (version == FileVersion::kMissing) return bTaken && bExisted;
  return version == FileVersion::kNew;
}

void CFileChangeCheck::Take(const std::string& path) {
  // The token first: a write landing between it and the read shows as a new
  // token next time, at worst one needless read.
  bTaken = true;
  bExisted = pStat->Query(path, &token);
  nContentHash = 0;
  bHashed = bExisted && HashContent(path, &nContentHash);
  nTakenAtMs = GetMonotonicMilliseconds();
}

bool CFileChangeCheck::InRacyWindow() const {
  return GetMonotonicMilliseconds() - nTakenAtMs < nRacyWindowMs;
}

bool CFileChangeCheck::HashContent(const std::string& path, uint64_t* hash) const {
  CReadOnlyFile file;
  if (!file.Open(path)) return false;
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
