// Loads the status page in headless Chromium: the page a person sees must render
// the banner and the recent status texts (escaped markup shown as text).
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "status/http_server.h"
#include "status/log_output.h"
#include "support/temp_dir.h"

namespace {

constexpr char kChromium[] = "/usr/bin/chromium";

// Runs a shell command and returns its standard output.
std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  std::array<char, 4096> buffer;
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    output.append(buffer.data(), got);
  pclose(pipe);
  return output;
}

std::string ChromiumCommand(const std::string& profile, const std::string& what, int port) {
  return std::string("timeout 60 ") + kChromium +
         " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
         " --disable-background-networking --disable-component-update --disable-sync"
         " --user-data-dir=" +
         profile + " " + what + " http://127.0.0.1:" + std::to_string(port) + "/ 2>/dev/null";
}

TEST(StatusPageBrowserTest, ChromiumRendersBannerAndRecentTexts) {
  if (access(kChromium, X_OK) != 0) {
    GTEST_SKIP() << "Chromium is not installed (scripts/install-deps.sh --test installs it)";
  }
  CTempDir folder("qr_browser");
  ASSERT_TRUE(folder.Ok());

  g_logOutput.SetStdoutEnabled(false);
  g_logOutput.Printf("[output0] format0: <b>Blue Sky</b> & more\n");
  g_logOutput.SetStdoutEnabled(true);
  CHttpServer server;
  server.Start(47900, 60);
  ASSERT_NE(server.Port(), 0);
  server.SetConfigPath("/etc/quillrade.ini");

  // The DOM as the browser built it: markup from the status text stays text.
  const std::string dom = RunCommand(
      ChromiumCommand((folder.Path() / "profile1").string(), "--dump-dom", server.Port()));
  EXPECT_NE(dom.find("Quillrade Service HTTP server by Hollend"), std::string::npos) << dom;
  EXPECT_NE(dom.find("Config file: /etc/quillrade.ini"), std::string::npos);
  EXPECT_NE(dom.find("[output0] format0: &lt;b&gt;Blue Sky&lt;/b&gt; &amp; more"),
            std::string::npos)
      << dom;
  EXPECT_EQ(dom.find("<b>Blue Sky</b>"), std::string::npos);

  const std::filesystem::path png = folder.Path() / "status.png";
  RunCommand(ChromiumCommand((folder.Path() / "profile2").string(),
                             "--window-size=1024,768 --screenshot=" + png.string(), server.Port()));
  std::ifstream image(png, std::ios::binary);
  std::string header(8, '\0');
  image.read(header.data(), 8);
  EXPECT_EQ(header, "\x89PNG\r\n\x1a\n") << "no screenshot written";
  EXPECT_GT(std::filesystem::file_size(png), 5000u);
  server.Stop();
}

}  // namespace
