// Test helper for the engine suites: a recorder of everything printed through
// g_logOutput (standard output muted while it is attached).
#ifndef QUILLRADE_TESTS_ENGINE_LOG_CAPTURE_SUPPORT_H_
#define QUILLRADE_TESTS_ENGINE_LOG_CAPTURE_SUPPORT_H_

#include <cstddef>
#include <mutex>
#include <string>

#include "status/log_output.h"

// Attaches itself to g_logOutput for its lifetime. Only one may exist at a time.
class CLogCapture : public ILogConsoleSink {
 public:
  CLogCapture();
  ~CLogCapture();
  CLogCapture(const CLogCapture&) = delete;
  CLogCapture& operator=(const CLogCapture&) = delete;

  void WriteText(const char* bytes, size_t length) override;
  // Everything printed since construction or the last Clear().
  std::string Text() const;
  void Clear();

 private:
  mutable std::mutex mutex;
  std::string strText;
};

#endif  // QUILLRADE_TESTS_ENGINE_LOG_CAPTURE_SUPPORT_H_
