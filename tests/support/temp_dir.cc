#include "support/temp_dir.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <system_error>

namespace {

// Random names to try before giving up; a clash with a live folder is rare.
constexpr int kNameTries = 100;

}  // namespace

CTempDir::CTempDir(const std::string& prefix) {
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) base = "/tmp";
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int i = 0; i < kNameTries; ++i) {
    char suffix[17];
    snprintf(suffix, sizeof(suffix), "%016llx", static_cast<unsigned long long>(random()));
    const std::filesystem::path candidate = base / (prefix + "_" + suffix);
    // create_directory is false for a folder that exists already: then it is
    // someone else's, and another name is tried.
    if (std::filesystem::create_directory(candidate, error) && !error) {
      path = candidate;
      return;
    }
  }
}

CTempDir::~CTempDir() {
  if (path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string CTempDir::WriteFile(const std::string& name, std::string_view bytes) const {
  const std::string file = PathOf(name);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}
