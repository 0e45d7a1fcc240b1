// A fresh temporary folder per test, removed with everything in it afterwards,
// and small helpers to write files into it.
#ifndef QUILLRADE_TESTS_CONFIG_TEMP_DIR_SUPPORT_H_
#define QUILLRADE_TESTS_CONFIG_TEMP_DIR_SUPPORT_H_

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

class CTempDir {
 public:
  CTempDir() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    do {
      path = base / ("qr_test_" + std::to_string(random()) + std::to_string(random()));
    } while (!std::filesystem::create_directory(path));
  }
  ~CTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;

  std::string PathOf(const std::string& name) const { return (path / name).string(); }

  // Writes `bytes` exactly (binary) and returns the file's path.
  std::string WriteFile(const std::string& name, std::string_view bytes) const {
    const std::string file = PathOf(name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
  }

  const std::filesystem::path& Path() const { return path; }

 private:
  std::filesystem::path path;
};

#endif  // QUILLRADE_TESTS_CONFIG_TEMP_DIR_SUPPORT_H_
