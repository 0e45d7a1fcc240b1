// The [global] keys that shape the status channels (the HTTP status server and
// the telnet feed): the address they listen on, the status server's access list
// and the access token both channels ask for. The channels start before the
// configuration is read for the tasks and stay up across reloads, so the address
// and the list are read once, at start-up, straight from the configuration file;
// a change takes effect at the next start. The token is read at start-up too and
// again at every load of the configuration (AccessTokenFrom).
//
// Threads: the main thread, at start-up.
#ifndef QUILLRADE_STATUS_STATUS_CHANNEL_SETTINGS_H_
#define QUILLRADE_STATUS_STATUS_CHANNEL_SETTINGS_H_

#include <string>

class CHttpServer;
class CTcpConsole;
class CVirtualPreset_file;

struct StatusChannelSettings {
  std::string strListenAddress;  // dotted IPv4 address; empty = all interfaces
  std::string strAccessList;     // the status server's access list; empty = all
  std::string strAccessToken;    // what clients must give; empty = none asked
  std::string strProblem;        // a line to print once the banner is out
};

// The settings from `configPath`; the defaults (all interfaces, no access list)
// when the file or a key is missing. An address that is not a dotted IPv4
// address falls back to the loopback address, never to all interfaces, and
// leaves a line saying so in strProblem.
StatusChannelSettings ReadStatusChannelSettings(const std::string& configPath);
// The same from a configuration already loaded.
StatusChannelSettings StatusChannelSettingsFrom(const CVirtualPreset_file& preset);

// [global] access_token, spaces around it trimmed; empty when absent.
std::string AccessTokenFrom(const CVirtualPreset_file& preset);

// Prints the settings' problem line, and the server library's reason when the
// status server could not start with the configured address or access list.
// Also says why the telnet feed could not listen on the configured address (on
// the default one, a second running instance holds the ports and that is no
// problem worth a line).
void ReportStatusChannelProblems(const StatusChannelSettings& settings, const CHttpServer& server,
                                 const CTcpConsole& console);

#endif  // QUILLRADE_STATUS_STATUS_CHANNEL_SETTINGS_H_
