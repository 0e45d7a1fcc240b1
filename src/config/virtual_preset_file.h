// The INI-style configuration ("preset") file: sections of key=value items, read
// into memory by Load() and answered by lookups that fall back to the caller's
// default. The reader is tolerant: every line becomes part of the tree somehow.
//
// Ownership: a container owns its child sections, a section owns its items.
// Items returned by GetItem belong to the file and die at the next Load().
// Threads: one thread only (the main thread); no locking.
#ifndef QUILLRADE_CONFIG_VIRTUAL_PRESET_FILE_H_
#define QUILLRADE_CONFIG_VIRTUAL_PRESET_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Longest configuration line; longer physical lines continue as the next line.
constexpr size_t kMaxPresetLineBytes = 2047;
// Largest configuration file Load() accepts.
constexpr uint64_t kMaxPresetFileBytes = 16u * 1024u * 1024u;
// Paths are cut to this many characters.
constexpr size_t kMaxPresetPathChars = 259;

class CVirtualPreset_section;

class CVirtualPreset_item {
 public:
  CVirtualPreset_item(CVirtualPreset_section* parent, std::string key);
  virtual ~CVirtualPreset_item() = default;

  // Stores the text unchanged and recomputes the integer (strtol base 0, clamped
  // to 32 bits).
  void SetValue(std::string text);

  const std::string& Key() const { return strKey; }
  const std::string& Text() const { return strText; }
  int Int() const { return nValue; }
  CVirtualPreset_section* Parent() const { return pParent; }

 private:
  CVirtualPreset_section* pParent;  // not owned
  std::string strKey;               // trimmed of spaces
  std::string strText;              // as read
  int nValue = 0;
};

class CVirtualPreset_SectionContainer {
 public:
  CVirtualPreset_SectionContainer() = default;
  virtual ~CVirtualPreset_SectionContainer() = default;
  CVirtualPreset_SectionContainer(const CVirtualPreset_SectionContainer&) = delete;
  CVirtualPreset_SectionContainer& operator=(const CVirtualPreset_SectionContainer&) = delete;

  // First child section named `name` (ASCII case ignored), or null.
  CVirtualPreset_section* FindSection(std::string_view name) const;
  // FindSection, or a new child appended under that name.
  CVirtualPreset_section* FindOrAddSection(std::string_view name);
  const std::vector<std::unique_ptr<CVirtualPreset_section>>& Sections() const {
    return sections;
  }

 protected:
  void ClearSections() { sections.clear(); }

 private:
  std::vector<std::unique_ptr<CVirtualPreset_section>> sections;
};

class CVirtualPreset_section : public CVirtualPreset_SectionContainer {
 public:
  CVirtualPreset_section(CVirtualPreset_SectionContainer* parent, std::string name);

  const std::string& Name() const { return strName; }
  CVirtualPreset_SectionContainer* Parent() const { return pParent; }

  // First item whose key equals `key` (ASCII case ignored), or null.
  CVirtualPreset_item* FindItem(std::string_view key) const;
  // Appends a new item and returns it.
  CVirtualPreset_item* AddItem(std::string key, std::string text);
  const std::vector<std::unique_ptr<CVirtualPreset_item>>& Items() const { return items; }

 private:
  CVirtualPreset_SectionContainer* pParent;  // not owned; null for a detached section
  std::string strName;
  std::vector<std::unique_ptr<CVirtualPreset_item>> items;
};

class CVirtualPreset_file : public CVirtualPreset_SectionContainer {
 public:
  // Splits the path into folder and file name; does not touch the disk.
  explicit CVirtualPreset_file(std::string_view path);
  ~CVirtualPreset_file() override;

  // Re-reads the file from scratch. False (and empty) when the file is missing,
  // unreadable, larger than kMaxPresetFileBytes, or holds only NUL bytes.
  bool Load();

  // Parses bytes as if they had been read from the file (Load's second half).
  void Parse(std::string_view bytes);

  // First top-level section named `section`, then its first item keyed `key`
  // (ASCII case ignored, nothing trimmed); null when either is missing.
  const CVirtualPreset_item* GetItem(std::string_view section, std::string_view key) const;
  // The item's text when it exists and is not empty; otherwise `defaultValue`.
  std::string GetString(const CVirtualPreset_item* item, std::string_view defaultValue) const;
  // The item's integer when it exists (0 for a non-number); otherwise `defaultValue`.
  int GetInt(const CVirtualPreset_item* item, int defaultValue) const;

  const std::string& FileName() const { return strFileName; }
  const std::string& Folder() const { return strFolder; }
  // Folder followed by file name, cut to kMaxPresetPathChars.
  std::string FullPath() const;

 private:
  std::string strFileName;
  std::string strFolder;
  // Sections made by broken headers ("[x" without "]"): owned here, found by no lookup.
  std::vector<std::unique_ptr<CVirtualPreset_section>> detachedSections;
};

#endif  // QUILLRADE_CONFIG_VIRTUAL_PRESET_FILE_H_
