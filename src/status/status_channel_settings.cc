#include "status/status_channel_settings.h"

#include "config/virtual_preset_file.h"
#include "platform/tcp_socket.h"
#include "status/http_server.h"
#include "status/log_output.h"
#include "util/text_util.h"

namespace {

constexpr char kListenAddressKey[] = "status_listen_address";
constexpr char kAccessListKey[] = "status_access_list";
constexpr char kAccessTokenKey[] = "access_token";
// Where the channels listen when the configured address cannot be used: reachable
// from this machine only, so a typing error never opens them to the network.
constexpr char kFallbackAddress[] = "127.0.0.1";

std::string GlobalText(const CVirtualPreset_file& preset, const char* key) {
  std::string text = preset.GetString(preset.GetItem("global", key), "");
  TrimSpaces(text);
  return text;
}

}  // namespace

StatusChannelSettings ReadStatusChannelSettings(const std::string& configPath) {
  CVirtualPreset_file preset(configPath);
  if (!preset.Load()) return StatusChannelSettings();
  return StatusChannelSettingsFrom(preset);
}

StatusChannelSettings StatusChannelSettingsFrom(const CVirtualPreset_file& preset) {
  StatusChannelSettings settings;
  settings.strListenAddress = GlobalText(preset, kListenAddressKey);
  settings.strAccessList = GlobalText(preset, kAccessListKey);
  settings.strAccessToken = AccessTokenFrom(preset);
  if (!settings.strListenAddress.empty() && !IsIPv4Address(settings.strListenAddress)) {
    settings.strProblem =
        StringPrintf("%s=%s is not an IPv4 address: status channels on %s only\n",
                     kListenAddressKey, settings.strListenAddress.c_str(), kFallbackAddress);
    settings.strListenAddress = kFallbackAddress;
  }
  return settings;
}

std::string AccessTokenFrom(const CVirtualPreset_file& preset) {
  return GlobalText(preset, kAccessTokenKey);
}

void ReportStatusChannelProblems(const StatusChannelSettings& settings, const CHttpServer& server) {
  if (!settings.strProblem.empty()) g_logOutput.Printf("%s", settings.strProblem.c_str());
  const bool configured = !settings.strListenAddress.empty() || !settings.strAccessList.empty();
  if (configured && server.Port() == 0) {
    g_logOutput.Printf("HTTP status server not started: %s\n", server.StartError().c_str());
  }
}
