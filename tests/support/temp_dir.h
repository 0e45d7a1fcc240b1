// A fresh folder under the system's temporary folder, removed with everything in
// it when the object ends, and small helpers to write files into it.
//
// The folder gets a random name that did not exist, so parallel tests never share
// one. When that fails, Ok() is false and Path() is empty; tests assert Ok() before using it.
// Threads: used by the test's thread.
#ifndef QUILLRADE_TESTS_SUPPORT_TEMP_DIR_H_
#define QUILLRADE_TESTS_SUPPORT_TEMP_DIR_H_

#include <filesystem>
#include <string>
#include <string_view>

class CTempDir {
 public:
  // `prefix` starts the folder's name, to tell the suites' leftovers apart.
  explicit CTempDir(const std::string& prefix = "qr_test");
  ~CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;

  bool Ok() const { return !path.empty(); }
  const std::filesystem::path& Path() const { return path; }
  // The path of `name` inside the folder.
  std::string PathOf(const std::string& name) const { return (path / name).string(); }
  // Writes `bytes` exactly (binary) to `name` inside the folder; returns its path.
  std::string WriteFile(const std::string& name, std::string_view bytes) const;

 private:
  std::filesystem::path path;
};

#endif  // QUILLRADE_TESTS_SUPPORT_TEMP_DIR_H_
