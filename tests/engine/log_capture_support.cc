#include "engine/log_capture_support.h"

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
