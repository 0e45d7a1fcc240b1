// The outcome of an operation that can fail: ok, or a code with a message that
// says what was being done and what the system answered ("open /etc/q.ini:
// Permission denied"). The platform's file, socket, service-control, process
// and output operations return it, so the layers above can show a user why
// something failed instead of only that it did.
//
// How a reason is shown: a user-facing error line keeps its own text, and the
// message follows on the next line, indented by two blanks (ReasonLine).
//
// Cheap to copy when ok (an empty string and a code). Threads: a value; any.
#ifndef QUILLRADE_PLATFORM_RESULT_H_
#define QUILLRADE_PLATFORM_RESULT_H_

#include <string>
#include <utility>

enum class CResultCode {
  kOk,
  kNotFound,          // no such file, unit, service or program
  kPermissionDenied,  // the system refused for want of rights
  kInvalidArgument,   // the request cannot be carried out as given
  kUnavailable,       // the service manager, address or port is not there now
  kTimedOut,          // gave up waiting
  kIoError,           // reading or writing failed after the file or stream was open
  kFailed,            // any other failure (a command's nonzero exit code, ...)
};

class [[nodiscard]] CResult {
 public:
  CResult() = default;
  static CResult Ok() { return CResult(); }
  // `context` says what was being done ("open /x", "systemctl start q.service"),
  // `detail` what went wrong ("exit code 5").
  static CResult Failure(CResultCode code, std::string context, std::string detail);
  // A failure from a system error number (errno on Linux, GetLastError() on
  // Windows): the code derived from it, the system's own text as the detail.
  static CResult FromSystemError(std::string context, int error);
  // FromSystemError with the calling thread's last error (errno, GetLastError()).
  static CResult FromLastError(std::string context);

  bool ok() const { return code == CResultCode::kOk; }
  CResultCode Code() const { return code; }
  // What was being done, and what went wrong: each empty when ok.
  const std::string& Context() const { return strContext; }
  const std::string& Detail() const { return strDetail; }
  // "<context>: <detail>" (either alone when the other is empty); empty when ok.
  std::string Message() const;
  // "  <message>\n" for the line after an error line; empty when ok, so it can
  // be printed unconditionally.
  std::string ReasonLine() const;

  // The same failure with more context in front ("install q: " + context).
  CResult WithContext(const std::string& outer) const;

 private:
  CResult(CResultCode code, std::string context, std::string detail)
      : code(code), strContext(std::move(context)), strDetail(std::move(detail)) {}

  CResultCode code = CResultCode::kOk;
  std::string strContext;
  std::string strDetail;
};

// The code for a system error number; kFailed for numbers without a closer one.
CResultCode CodeOfSystemError(int error);

#endif  // QUILLRADE_PLATFORM_RESULT_H_
