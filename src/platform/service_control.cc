#include "platform/service_control.h"

#include <utility>

#include "platform/process.h"

CServiceControl::CServiceControl(ServiceControlSettings settingsIn)
    : settings(std::move(settingsIn)) {}

bool CServiceControl::IsAdministrator() const {
  return settings.fnIsAdministrator ? settings.fnIsAdministrator() : IsEffectiveRoot();
}

std::string CServiceControl::LineValue(const std::string& text, const std::string& key) {
  const std::string prefix = key + "=";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, prefix.size(), prefix) == 0) {
      return text.substr(start + prefix.size(), end - start - prefix.size());
    }
    start = end + 1;
  }
  return std::string();
}

CResult CServiceControl::NoPowerAction(int flags) {
  return CResult::Failure(CResultCode::kInvalidArgument, "power request",
                          "the flags " + std::to_string(flags) + " name no power action");
}
