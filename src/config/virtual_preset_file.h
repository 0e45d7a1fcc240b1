// The INI-style configuration ("preset") file: sections of key=value items, read
// into memory by Load() and answered by lookups that fall back to the caller's
// default. The reader is tolerant: every line becomes part of the tree somehow.
//
// Ownership: a container owns its child sections, a section owns its items.
// Items returned by GetItem belong to the file and die at the next Load() or
// Parse(). Threads: one thread only (the main thread); no locking.
//
// Example:
//   CVirtualPreset_file preset("/etc/quillrade.ini");
//   if (preset.Load()) {
//     int timeout = preset.GetInt(preset.GetItem("global", "http_timeout_seconds"), 20);
//   }
#ifndef QUILLRADE_CONFIG_VIRTUAL_PRESET_FILE_H_
#define QUILLRADE_CONFIG_VIRTUAL_PRESET_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/result.h"

// Longest configuration line; longer physical lines continue as the next line.
constexpr size_t kMaxPresetLineBytes = 2047;
// Largest configuration file Load() accepts.
constexpr uint64_t kMaxPresetFileBytes = 16u * 1024u * 1024u;

class CVirtualPreset_section;

// Cuts loaded bytes into lines. A line ends after a LF, at the end of the data,
// or after kMaxPresetLineBytes bytes (the rest continues as the next line). Each
// CR met at a byte position is stepped over, so CR LF and lone CRs vanish, but
// the second CR of a CR CR pair stays in the line. A NUL byte ends the line's
// text: the rest of that physical line is skipped up to its LF, which the line
// keeps, and reading goes on after it. Holds a view: `bytes` must outlive the
// reader.
class CVirtualPreset_fileaccess {
 public:
  explicit CVirtualPreset_fileaccess(std::string_view bytes) : data(bytes) {}

  // The next line, with its LF when it ended with one; false when none is left.
  bool ReadLine(std::string* line);
  // The line last read ended at a NUL byte.
  bool EndedAtNul() const { return bEndedAtNul; }

 private:
  std::string_view data;
  size_t nPos = 0;
  bool bEndedAtNul = false;
};

// A physical line longer than kMaxPresetLineBytes, which was read in pieces.
struct PresetLongLine {
  int nLine = 0;
  size_t nBytes = 0;  // without its line end
};

class CVirtualPreset_item {
 public:
  // The key is trimmed of spaces here.
  CVirtualPreset_item(CVirtualPreset_section* parent, std::string key);
  virtual ~CVirtualPreset_item() = default;

  // Stores the text unchanged and recomputes the integer (strtol base 0, clamped
  // to 32 bits).
  void SetValue(std::string text);
  // The integer a text converts to: strtol rules with base 0 (leading white space,
  // sign, 0x hex, leading-0 octal), 0 without digits, clamped to the int range.
  static int ConvertToInt(const std::string& text);

  const std::string& Key() const { return strKey; }
  const std::string& Text() const { return strText; }
  int Int() const { return nValue; }
  CVirtualPreset_section* Parent() const { return pParent; }

  // Line numbers (from 1, counted by line feeds) of the lines that set this
  // item: the first made it, each later one replaced its text, so the last one
  // wins. Empty for an item made without a file line.
  const std::vector<int>& Lines() const { return vecLines; }
  void AddLine(int line) { vecLines.push_back(line); }

 private:
  CVirtualPreset_section* pParent;  // not owned
  std::string strKey;               // trimmed of spaces
  std::string strText;              // as read
  int nValue = 0;
  std::vector<int> vecLines;
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
  const std::vector<std::unique_ptr<CVirtualPreset_section>>& Sections() const { return sections; }

 protected:
  void ClearSections();

 private:
  std::vector<std::unique_ptr<CVirtualPreset_section>> sections;
  // Lower-cased name -> first section of that name, so that large files do not
  // cost a scan per header.
  std::unordered_map<std::string, CVirtualPreset_section*> sectionIndex;
};

class CVirtualPreset_section : public CVirtualPreset_SectionContainer {
 public:
  CVirtualPreset_section(CVirtualPreset_SectionContainer* parent, std::string name);

  const std::string& Name() const { return strName; }
  CVirtualPreset_SectionContainer* Parent() const { return pParent; }
  // Line of the first header (or, for the section before any header, the first
  // line) that named this section; 0 when unknown.
  int Line() const { return nLine; }
  void SetLineOnce(int line) {
    if (nLine == 0) nLine = line;
  }

  // First item whose key equals `key` (ASCII case ignored), or null.
  CVirtualPreset_item* FindItem(std::string_view key) const;
  // Appends a new item (key trimmed of spaces) and returns it.
  CVirtualPreset_item* AddItem(std::string key, std::string text);
  const std::vector<std::unique_ptr<CVirtualPreset_item>>& Items() const { return items; }

 private:
  CVirtualPreset_SectionContainer* pParent;  // not owned; null for a detached section
  std::string strName;
  int nLine = 0;
  std::vector<std::unique_ptr<CVirtualPreset_item>> items;
  // Lower-cased key -> first item with that key.
  std::unordered_map<std::string, CVirtualPreset_item*> itemIndex;
};

class CVirtualPreset_file : public CVirtualPreset_SectionContainer {
 public:
  // Splits the path into folder and file name; does not touch the disk. The
  // path is kept whole, however long: the file is read by exactly the path whose
  // last-write time the caller watches.
  explicit CVirtualPreset_file(std::string_view path);
  ~CVirtualPreset_file() override;

  // Re-reads the file from scratch. False (and empty) when the file is missing,
  // not a regular file, unreadable, larger than kMaxPresetFileBytes, empty, or
  // holds only NUL bytes; LoadFailure() then says which.
  bool Load();
  // Why the last Load failed; ok after one that succeeded.
  const CResult& LoadFailure() const { return loadFailure; }

  // Replaces the content with the tree parsed from `bytes`, as if they had been
  // read from the file (Load's second half). Never fails.
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
  // Folder followed by file name: the path given at construction.
  std::string FullPath() const;
  // Sections made by broken headers ("[x" without "]"): no lookup finds them.
  const std::vector<std::unique_ptr<CVirtualPreset_section>>& DetachedSections() const {
    return detachedSections;
  }
  // What the last read passed over: lines holding a NUL byte (the rest of each
  // was ignored), and lines cut into pieces for their length.
  const std::vector<int>& NulLines() const { return vecNulLines; }
  const std::vector<PresetLongLine>& LongLines() const { return vecLongLines; }

 private:
  void Clear();
  // Resolves a header line ("[A]", "[A][B]") to the section it names, making
  // missing ones. Null when the text holds no complete "[...]" pair, unless
  // `createIfMissing`: then the empty text gives the top-level "" section and a
  // broken header a new detached section.
  // Every section found or made is marked with `lineNumber` unless it has a line.
  CVirtualPreset_section* ResolveHeader(std::string_view header, bool createIfMissing,
                                        int lineNumber);
  // Turns one non-header line (number `lineNumber`) into an item of `section`.
  static void AddLineItem(CVirtualPreset_section* section, const std::string& line, int lineNumber);

  std::string strFileName;
  std::string strFolder;
  // Sections made by broken headers ("[x" without "]"): owned here, found by no lookup.
  std::vector<std::unique_ptr<CVirtualPreset_section>> detachedSections;
  std::vector<int> vecNulLines;
  std::vector<PresetLongLine> vecLongLines;
  CResult loadFailure;
};

#endif  // QUILLRADE_CONFIG_VIRTUAL_PRESET_FILE_H_
