// Test helpers for the engine suites: a recorder of everything printed through
// g_logOutput (standard output muted while it is attached) and a temporary folder
// removed with its content.
#ifndef QUILLRADE_TESTS_ENGINE_LOG_CAPTURE_SUPPORT_H_
#define QUILLRADE_TESTS_ENGINE_LOG_CAPTURE_SUPPORT_H_

#include <cstddef>
#include <filesystem>
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

class CTempDir {
 public:
  CTempDir();
  ~CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;

  const std::filesystem::path& Path() const { return path; }
  // Writes `bytes` exactly to the named file inside the folder; returns its path.
  std::string WriteFile(const std::string& name, const std::string& bytes) const;

 private:
  std::filesystem::path path;
};

#endif  // QUILLRADE_TESTS_ENGINE_LOG_CAPTURE_SUPPORT_H_
