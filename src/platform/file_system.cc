#include "platform/file_system.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/process.h"
#include "platform/text_charset.h"

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";

uint32_t Utf16Unit(std::string_view bytes, size_t at, bool bigEndian) {
  const uint32_t first = static_cast<unsigned char>(bytes[at]);
  const uint32_t second = static_cast<unsigned char>(bytes[at + 1]);
  return bigEndian ? (first << 8) | second : (second << 8) | first;
}

// Appends the whole UTF-16 characters of `bytes` to `out` as UTF-8 (a lone
// surrogate becomes U+FFFD); returns how many bytes at the end were left over
// (half a unit, or a high surrogate whose pair comes with the next read).
size_t DecodeUtf16(std::string_view bytes, bool bigEndian, std::string* out) {
  size_t at = 0;
  while (at + 2 <= bytes.size()) {
    const uint32_t unit = Utf16Unit(bytes, at, bigEndian);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (at + 4 > bytes.size()) break;
      const uint32_t low = Utf16Unit(bytes, at + 2, bigEndian);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out);
        at += 4;
        continue;
      }
    }
    AppendUtf8(unit, out);
    at += 2;
  }
  return bytes.size() - at;
}

}  // namespace

CResult ReadFileBytes(const std::string& path, size_t maxBytes, std::string* out) {
  out->clear();
  CReadOnlyFile file;
  CResult opened = file.Open(path);
  if (!opened.ok()) return opened;
  std::string bytes(maxBytes, '\0');
  const int64_t count = file.Read(bytes.data(), bytes.size());
  if (count < 0) return file.ReadError();
  bytes.resize(static_cast<size_t>(count));
  *out = std::move(bytes);
  return CResult::Ok();
}

// --- CReadOnlyFile ---

CReadOnlyFile::~CReadOnlyFile() { Close(); }

CReadOnlyFile::CReadOnlyFile(CReadOnlyFile&& other) noexcept
    : descriptor(std::move(other.descriptor)),
      nSize(std::exchange(other.nSize, 0)),
      strPath(std::move(other.strPath)),
      readError(std::exchange(other.readError, CResult::Ok())) {}

CReadOnlyFile& CReadOnlyFile::operator=(CReadOnlyFile&& other) noexcept {
  if (this != &other) {
    Close();
    descriptor = std::move(other.descriptor);
    nSize = std::exchange(other.nSize, 0);
    strPath = std::move(other.strPath);
    readError = std::exchange(other.readError, CResult::Ok());
  }
  return *this;
}

void CReadOnlyFile::Close() {
  descriptor.Reset();
  nSize = 0;
  strPath.clear();
  readError = CResult::Ok();
}

CResult CReadOnlyFile::NotAFile(const std::string& path, bool folder) {
  return CResult::Failure(CResultCode::kInvalidArgument, "open " + path,
                          folder ? "a folder" : "not a regular file (a FIFO, socket or device)");
}

CResult CReadOnlyFile::Refused(const std::string& path, int error) {
  CResult refused = CResult::FromSystemError("open " + path, error);
  if (refused.Code() != CResultCode::kIoError) return refused;
  return CResult::Failure(CResultCode::kFailed, refused.Context(), refused.Detail());
}

void CReadOnlyFile::NoteReadError(int error) {
  readError = CResult::Failure(CResultCode::kIoError, "read " + strPath, ErrorMessage(error));
}

// --- CTextFileReader ---

CResult CTextFileReader::Open(const std::string& path) {
  strChunk.clear();
  nChunkPos = 0;
  strCarry.clear();
  form = TextForm::kUnknown;
  bEnded = false;
  bFromBytes = false;
  strBytes.clear();
  return file.Open(path, true);
}

void CTextFileReader::TakeChunk(std::string_view bytes) {
  if (form == TextForm::kUnknown) {
    // The first read holds the whole mark: a read returns less only at the end.
    form = bytes.substr(0, 3) == kUtf8Mark      ? TextForm::kUtf8Mark
           : bytes.substr(0, 2) == kUtf16LeMark ? TextForm::kUtf16Le
           : bytes.substr(0, 2) == kUtf16BeMark ? TextForm::kUtf16Be
                                                : TextForm::kBytes;
    bytes.remove_prefix(form == TextForm::kUtf8Mark ? 3 : form == TextForm::kBytes ? 0 : 2);
  }
  strChunk.clear();
  nChunkPos = 0;
  if (form != TextForm::kUtf16Le && form != TextForm::kUtf16Be) {
    strChunk.assign(bytes);
    return;
  }
  strCarry.append(bytes);
  const size_t left = DecodeUtf16(strCarry, form == TextForm::kUtf16Be, &strChunk);
  strCarry.erase(0, strCarry.size() - left);
}

void CTextFileReader::OpenBytes(std::string bytes) {
  file.Close();
  strChunk.clear();
  nChunkPos = 0;
  strCarry.clear();
  form = TextForm::kUnknown;
  bEnded = false;
  bFromBytes = true;
  strBytes = std::move(bytes);
  nBytesPos = 0;
}

bool CTextFileReader::Refill() {
  while (!bEnded) {
    char raw[kChunkBytes];
    int64_t count = 0;
    if (bFromBytes) {
      count = static_cast<int64_t>(std::min(kChunkBytes, strBytes.size() - nBytesPos));
      std::memcpy(raw, strBytes.data() + nBytesPos, static_cast<size_t>(count));
      nBytesPos += static_cast<size_t>(count);
    } else {
      count = file.Read(raw, kChunkBytes);
    }
    if (count <= 0) {
      bEnded = true;
      break;
    }
    TakeChunk(std::string_view(raw, static_cast<size_t>(count)));
    if (!strChunk.empty()) return true;
  }
  // A character the file's end cut off is no text.
  return false;
}

int CTextFileReader::PeekByte() {
  if (nChunkPos >= strChunk.size() && !Refill()) return -1;
  return static_cast<unsigned char>(strChunk[nChunkPos]);
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
