#include "platform/file_system.h"

#include <algorithm>
#include <cstring>
#include <utility>

bool ReadFileBytes(const std::string& path, size_t maxBytes, std::string* out,
                   std::string* readError) {
  out->clear();
  if (readError != nullptr) readError->clear();
  CReadOnlyFile file;
  if (!file.Open(path)) return false;
  std::string bytes(maxBytes, '\0');
  const int64_t count = file.Read(bytes.data(), bytes.size());
  if (count < 0) {
    if (readError != nullptr) *readError = file.ReadError();
    return false;
  }
  bytes.resize(static_cast<size_t>(count));
  *out = std::move(bytes);
  return true;
}

// --- CReadOnlyFile ---

CReadOnlyFile::~CReadOnlyFile() { Close(); }

CReadOnlyFile::CReadOnlyFile(CReadOnlyFile&& other) noexcept
    : descriptor(std::move(other.descriptor)),
      nSize(std::exchange(other.nSize, 0)),
      strReadError(std::move(other.strReadError)) {}

CReadOnlyFile& CReadOnlyFile::operator=(CReadOnlyFile&& other) noexcept {
  if (this != &other) {
    Close();
    descriptor = std::move(other.descriptor);
    nSize = std::exchange(other.nSize, 0);
    strReadError = std::move(other.strReadError);
  }
  return *this;
}

void CReadOnlyFile::Close() {
  descriptor.Reset();
  nSize = 0;
  strReadError.clear();
}

// --- CTextFileReader ---

bool CTextFileReader::Open(const std::string& path) {
  nChunkPos = 0;
  nChunkLength = 0;
  bEnded = false;
  bFromBytes = false;
  strBytes.clear();
  return file.Open(path, true);
}

void CTextFileReader::OpenBytes(std::string bytes) {
  file.Close();
  nChunkPos = 0;
  nChunkLength = 0;
  bEnded = false;
  bFromBytes = true;
  strBytes = std::move(bytes);
  nBytesPos = 0;
}

bool CTextFileReader::Refill() {
  if (bEnded) return false;
  int64_t count = 0;
  if (bFromBytes) {
    count = static_cast<int64_t>(std::min(kChunkBytes, strBytes.size() - nBytesPos));
    std::memcpy(chunk, strBytes.data() + nBytesPos, static_cast<size_t>(count));
    nBytesPos += static_cast<size_t>(count);
  } else {
    count = file.Read(chunk, kChunkBytes);
  }
  if (count <= 0) {
    bEnded = true;
    return false;
  }
  nChunkPos = 0;
  nChunkLength = static_cast<size_t>(count);
  return true;
}

int CTextFileReader::PeekByte() {
  if (nChunkPos >= nChunkLength && !Refill()) return -1;
  return static_cast<unsigned char>(chunk[nChunkPos]);
}

int CTextFileReader::NextByte() {
  const int byte = PeekByte();
  if (byte >= 0) ++nChunkPos;
  return byte;
}

bool CTextFileReader::ReadLine(char* buffer, size_t size) {
  if (size >= 1) buffer[0] = '\0';
  if (size < 2 || !IsOpen()) return false;
  size_t length = 0;
  while (length + 1 < size) {
    int byte = NextByte();
    if (byte < 0) break;
    if (byte == '\r' && PeekByte() == '\n') byte = NextByte();
    buffer[length++] = static_cast<char>(byte);
    if (byte == '\n') break;
  }
  buffer[length] = '\0';
  return length > 0;
}
