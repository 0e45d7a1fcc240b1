// Files on the local disk: existence, absolute paths, last-write times and
// read-only access to regular files.
//
// Every function and object here reports failure as a value (false, 0, an empty
// string, or a CResult that says why) and never throws. Reading never locks the file: another
// process may hold it open for writing at the same time.
//
// Threads: the free functions may be called from any thread. A CReadOnlyFile or
// CTextFileReader belongs to the thread that uses it.
#ifndef QUILLRADE_PLATFORM_FILE_SYSTEM_H_
#define QUILLRADE_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_fd.h"

// The bytes that separate folders in a path: "/" on Linux, "\\" and "/" on
// Windows.
const char* PathSeparators();

// True when the path names something that exists (stat() succeeds).
bool FileExists(const std::string& path);

// True when every user of the machine may read the file (on Linux: its "other"
// read bit). Windows grants access through lists that are not examined: false.
bool IsReadableByEveryone(const std::string& path);

// The path made absolute against the current folder and lexically normalised
// ("a/../b" -> "b"); symbolic links are not resolved. Empty when that fails.
std::string GetAbsolutePath(const std::string& path);

// The file's modification time as a Windows file time (100 ns units since
// 1601-01-01 UTC); 0 when the file cannot be examined.
uint64_t QueryFileWriteTime(const std::string& path);

// Reads at most `maxBytes` bytes from the start of an existing regular file into
// `out` (left empty on failure). A read that fails after the file opened is told
// apart from one that could not start: the first is kIoError, the second is
// CReadOnlyFile::Open's failure, which never is.
CResult ReadFileBytes(const std::string& path, size_t maxBytes, std::string* out);

// An open read-only descriptor on a regular file, closed on destruction.
// Directories, pipes and devices are refused so that a read can never block.
class CReadOnlyFile {
 public:
  CReadOnlyFile() = default;
  ~CReadOnlyFile();
  CReadOnlyFile(CReadOnlyFile&& other) noexcept;
  CReadOnlyFile& operator=(CReadOnlyFile&& other) noexcept;
  CReadOnlyFile(const CReadOnlyFile&) = delete;
  CReadOnlyFile& operator=(const CReadOnlyFile&) = delete;

  // Closes any previous file, then opens `path`. `sequential` tells the kernel
  // the file will be read once from start to end. A failure's detail says why
  // in words for a status line: "a folder", "not a regular file (a FIFO, socket
  // or device)", or the system's text. Its code is never kIoError, so that a
  // caller can tell it from a read that failed later.
  CResult Open(const std::string& path, bool sequential = false);
  void Close();
  bool IsOpen() const { return descriptor.IsValid(); }
  // Size in bytes when the file was opened.
  uint64_t Size() const { return nSize; }

  // Reads up to `size` bytes, retrying until that many arrived or the file
  // ended. Returns the count read (0 at the end), or -1 on an error.
  int64_t Read(void* buffer, size_t size);
  // The error of the last Read that failed since Open (kIoError, the system's
  // text as the detail); ok when none failed.
  const CResult& ReadError() const { return readError; }

 private:
  // The failure of an Open that found something other than a regular file.
  static CResult NotAFile(const std::string& path, bool folder);
  // The failure of an Open the system refused: its code and text, except that
  // an I/O error there is reported as a plain failure (kIoError means a read
  // failed after the file was open).
  static CResult Refused(const std::string& path, int error);
  // Records a Read that failed with the system's `error`.
  void NoteReadError(int error);

  CUniqueFd descriptor;
  uint64_t nSize = 0;
  std::string strPath;  // for the context of a read error
  CResult readError;
};

// Reads a text file line by line the way a C text-mode stream does on the
// platform the configuration and input files come from: a CR LF pair reads as a
// single LF, a lone CR is kept. A byte-order mark is not text: a UTF-8 one at
// the start is skipped, and a file that starts with a UTF-16 one (FF FE or
// FE FF) is read as UTF-16 and handed out as UTF-8.
class CTextFileReader {
 public:
  CTextFileReader() = default;

  // Opens `path` for reading; fails as CReadOnlyFile::Open does.
  CResult Open(const std::string& path);
  // Reads `bytes` instead of a file: for a file read whole first, so its version
  // can be checked before any of it is used.
  void OpenBytes(std::string bytes);
  bool IsOpen() const { return file.IsOpen() || bFromBytes; }

  // Like fgets: copies at most size-1 bytes into `buffer`, stops after a LF and
  // terminates the text with a NUL. False only when nothing could be read (end
  // of file, an error, or `size` below 2); `buffer` then holds an empty text
  // when `size` is at least 1.
  bool ReadLine(char* buffer, size_t size);
  // Like ferror after fgets: the read error that ended the lines early; ok when
  // they ended at the end of the file.
  const CResult& ReadError() const { return file.ReadError(); }
  // True once the start of the file showed a byte-order mark: the lines are
  // UTF-8, whatever the file was written in.
  bool HasUnicodeMark() const { return form != TextForm::kBytes && form != TextForm::kUnknown; }

 private:
  enum class TextForm { kUnknown, kBytes, kUtf8Mark, kUtf16Le, kUtf16Be };
  // Decodes one read of the file into strChunk according to the form (which
  // the first read decides).
  void TakeChunk(std::string_view bytes);
  // Next byte of the file, or -1 at the end or on an error.
  int NextByte();
  // The byte NextByte() would return, without consuming it.
  int PeekByte();
  bool Refill();

  static constexpr size_t kChunkBytes = 4096;
  CReadOnlyFile file;
  std::string strChunk;     // the text of the last read, UTF-8 for a UTF-16 file
  bool bFromBytes = false;  // reading strBytes (OpenBytes) rather than the file
  std::string strBytes;
  size_t nBytesPos = 0;
  size_t nChunkPos = 0;
  std::string strCarry;  // UTF-16 bytes of a character that the last read cut
  TextForm form = TextForm::kUnknown;
  bool bEnded = false;
};

#endif  // QUILLRADE_PLATFORM_FILE_SYSTEM_H_
