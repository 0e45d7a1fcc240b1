#include "platform/fake_system_support.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace {

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
}

// systemctl: logs, fails a verb when "fail-<verb>" exists, answers the manager
// probe unless "no-manager" exists, plays states from "states".
const char kFakeSystemctl[] = R"SH(#!/bin/sh
dir=$(dirname "$0")
echo "systemctl $*" >> "$dir/calls.log"
verb=$1
[ -e "$dir/fail-$verb" ] && exit 1
if [ "$verb" = show ] && [ "$3" = Version ]; then
  [ -e "$dir/no-manager" ] && exit 1
  echo "Version=252"
  exit 0
fi
if [ "$verb" = show ]; then
  state=inactive
  if [ -s "$dir/states" ]; then
    state=$(head -n 1 "$dir/states")
    if [ "$(wc -l < "$dir/states")" -gt 1 ]; then
      tail -n +2 "$dir/states" > "$dir/states.next" && mv "$dir/states.next" "$dir/states"
    fi
  fi
  echo "ActiveState=$state"
  echo "SubState=dead"
fi
exit 0
)SH";

// sudo: logs; "sudo -v" exits with the code in "sudo-v-exit" (default 0); a run
// only records its command.
const char kFakeSudo[] = R"SH(#!/bin/sh
dir=$(dirname "$0")
echo "sudo $*" >> "$dir/calls.log"
if [ "$1" = -v ]; then
  [ -e "$dir/sudo-v-exit" ] && exit $(cat "$dir/sudo-v-exit")
  exit 0
fi
echo "elevated copy ran"
exit 0
)SH";

void WriteScript(const std::string& path, const char* text) {
  WriteFile(path, text);
  chmod(path.c_str(), 0755);
}

}  // namespace

CFakeSystem::CFakeSystem() : dir("qr_host"), strDir(dir.Path().string()) {
  if (!dir.Ok()) return;  // the fakes are missing, so every call fails visibly
  WriteScript(strDir + "/systemctl", kFakeSystemctl);
  WriteScript(strDir + "/sudo", kFakeSudo);
  std::filesystem::create_directory(UnitDir());
  std::filesystem::create_directory(PackageUnitDir());
  std::filesystem::create_directory(strDir + "/run-systemd");
}

ServiceControlSettings CFakeSystem::Settings(bool administrator) const {
  ServiceControlSettings settings;
  settings.strSystemctl = strDir + "/systemctl";
  settings.strSudo = strDir + "/sudo";
  settings.strUnitDir = UnitDir();
  settings.vecPackageUnitDirs = {strDir + "/no-such-dir", PackageUnitDir()};
  settings.strSystemdRuntimeDir = strDir + "/run-systemd";
  settings.fnIsAdministrator = [administrator] { return administrator; };
  return settings;
}

void CFakeSystem::PlayStates(const std::vector<std::string>& activeStates) {
  std::string text;
  for (const std::string& state : activeStates) text += state + "\n";
  WriteFile(strDir + "/states", text);
}

void CFakeSystem::RemoveManager() {
  std::filesystem::remove(strDir + "/run-systemd");
  WriteFile(strDir + "/no-manager", "");
}

void CFakeSystem::FailVerb(const std::string& verb) { WriteFile(strDir + "/fail-" + verb, ""); }

void CFakeSystem::SetSudoValidateExit(int code) {
  WriteFile(strDir + "/sudo-v-exit", std::to_string(code));
}

void CFakeSystem::AddUnit(const std::string& serviceName) {
  WriteFile(UnitDir() + "/" + serviceName + ".service", "[Unit]\n");
}

void CFakeSystem::AddPackagedUnit(const std::string& serviceName) {
  WriteFile(PackageUnitDir() + "/" + serviceName + ".service", "[Unit]\n");
}

std::vector<std::string> CFakeSystem::Calls() const {
  std::ifstream file(strDir + "/calls.log");
  std::vector<std::string> calls;
  std::string line;
  while (std::getline(file, line)) {
    if (line != "systemctl show -p Version") calls.push_back(line);
  }
  return calls;
}
