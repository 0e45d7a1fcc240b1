#include "status/status_channel_settings.h"

#include "config/config_schema.h"
#include "config/virtual_preset_file.h"
#include "platform/tcp_socket.h"
#include "status/http_server.h"
#include "status/log_output.h"
#include "status/tcp_console.h"
#include "util/text_util.h"

namespace {

constexpr std::string_view kListenAddressKey =
    SchemaKey(ConfigSection::kGlobal, "status_listen_address").strName;
constexpr std::string_view kAccessListKey =
    SchemaKey(ConfigSection::kGlobal, "status_access_list").strName;
constexpr std::string_view kAccessTokenKey =
    SchemaKey(ConfigSection::kGlobal, "access_token").strName;
// Where the channels listen when the configured address cannot be used: reachable
// from this machine only, so a typing error never opens them to the network.
constexpr char kFallbackAddress[] = "127.0.0.1";

std::string GlobalText(const CVirtualPreset_file& preset, std::string_view key) {
  std::string text = preset.GetString(preset.GetItem(kGlobalSection, key), "");
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
    settings.strProblem = StringPrintf("%s=%s is not an IPv4 address: status channels on %s only\n",
                                       std::string(kListenAddressKey).c_str(),
                                       settings.strListenAddress.c_str(), kFallbackAddress);
    settings.strListenAddress = kFallbackAddress;
  }
  return settings;
}

std::string AccessTokenFrom(const CVirtualPreset_file& preset) {
  return GlobalText(preset, kAccessTokenKey);
}

void ReportStatusChannelProblems(const StatusChannelSettings& settings, const CHttpServer& server,
                                 const CTcpConsole& console) {
  if (!settings.strProblem.empty()) g_logOutput.Printf("%s", settings.strProblem.c_str());
  const bool configured = !settings.strListenAddress.empty() || !settings.strAccessList.empty();
  if (configured && server.Port() == 0) {
    g_logOutput.Printf("HTTP status server not started: %s\n", server.StartError().c_str());
  }
  if (!settings.strListenAddress.empty() && console.Port() == 0) {
    g_logOutput.Printf("Telnet status feed not started\n%s",
                       console.StartError().ReasonLine().c_str());
  }
}
