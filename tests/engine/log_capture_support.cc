#include "engine/log_capture_support.h"

#include <atomic>
#include <fstream>
#include <system_error>

#include <unistd.h>

CLogCapture::CLogCapture() {
  g_logOutput.SetStdoutEnabled(false);
  g_logOutput.AttachConsole(this);
}

CLogCapture::~CLogCapture() {
  g_logOutput.AttachConsole(nullptr);
  g_logOutput.SetStdoutEnabled(true);
}

void CLogCapture::WriteText(const char* bytes, size_t length) {
  std::lock_guard<std::mutex> hold(mutex);
  strText.append(bytes, length);
}

std::string CLogCapture::Text() const {
  std::lock_guard<std::mutex> hold(mutex);
  return strText;
}

void CLogCapture::Clear() {
  std::lock_guard<std::mutex> hold(mutex);
  strText.clear();
}

CTempDir::CTempDir() {
  static std::atomic<int> counter{0};
  path = std::filesystem::temp_directory_path() /
         ("qr_engine_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
}

CTempDir::~CTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string CTempDir::WriteFile(const std::string& name, const std::string& bytes) const {
  const std::filesystem::path file = path / name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file.string();
}
