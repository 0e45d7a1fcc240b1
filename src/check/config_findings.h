// The problems the configuration check reports: what the tolerant reader and the
// task setup silently ignore or only report later. Reads the loaded configuration
// tree (with the line numbers the reader kept) and the tasks the service builds
// from it; changes neither.
//
// Errors: unknown sections (with a near-miss suggestion, and the keys of a
// misspelt one checked as those of the section suggested), keys nothing reads
// (with a near-miss suggestion),
// lines without "=", headers that reach no lookup, an input without an output or
// the reverse, URLs that are not http:// or https://, "%outputN:formatM%" tokens
// bound to nothing. Warnings: input files that do not exist, repeated keys, type
// values that fall back to plain text, unknown keyword options, format items no
// URL uses, "%formatN%" tokens naming no format item, a status listen address
// the service would replace by the loopback address, status channels open
// beyond this machine without an access token, a short token, a token in a file
// every user may read, charset names nothing knows, a charset on an XML input,
// and an output without charset whose URLs mix non-ASCII values of a UTF-8 and
// of a single-byte source. No finding shows the token itself.
//
// Threads: the thread that owns the tree and the tasks (the check's one thread).
#ifndef QUILLRADE_CHECK_CONFIG_FINDINGS_H_
#define QUILLRADE_CHECK_CONFIG_FINDINGS_H_

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/virtual_preset_file.h"
#include "engine/task.h"

enum class FindingSeverity { kError, kWarning };

struct ConfigFinding {
  FindingSeverity severity = FindingSeverity::kError;
  int nLine = 0;  // line in the configuration file; 0 when none applies
  std::string strMessage;
};

// The known name among `candidates` nearest to `name` (letter case ignored) when
// it is a near miss (at most two edits of letters, a swap counting as one);
// empty otherwise.
std::string NearestName(std::string_view name, const std::vector<std::string>& candidates);

class CConfigFindings {
 public:
  // Both must outlive this object.
  CConfigFindings(const CVirtualPreset_file& preset,
                  const std::vector<std::unique_ptr<CTask>>& tasks);

  // Every finding, ordered by line (findings without a line last).
  std::vector<ConfigFinding> Collect();

 private:
  // NUL bytes and over-long lines the reader passed over.
  void CheckSkippedBytes();
  void CheckSection(const CVirtualPreset_section& section);
  void CheckInputSection(const CVirtualPreset_section& section, int number);
  void CheckOutputSection(const CVirtualPreset_section& section, int number);
  void CheckUnnamedSection(const CVirtualPreset_section& section);
  // An unknown section, and its keys as those of the section it was meant to be.
  void CheckMisspeltSection(const CVirtualPreset_section& section);
  // The address the status channels would fall back from.
  void CheckStatusChannelKeys(const CVirtualPreset_section& global);
  // Whether the status channels are open to more than this machine, and how well
  // the access token guards them.
  void CheckAccessToken();
  // Keys outside `known` are errors; `misplaced` maps a key known elsewhere to
  // why this section does not read it.
  void CheckKeys(const CVirtualPreset_section& section, const std::vector<std::string>& known,
                 const std::map<std::string, std::string>& misplaced);
  void CheckRepeatedKeys(const CVirtualPreset_section& section);
  void CheckNestedSections(const CVirtualPreset_section& section);
  void CheckInputFile(const CTask& task, const CVirtualPreset_section& input);
  void CheckKeywordOptions(const CTask& task, const CVirtualPreset_section& input);
  void CheckUrls(const CTask& task, const CVirtualPreset_section& output);
  void CheckUnusedFormats(const CTask& task, const CVirtualPreset_section& output);
  void CheckCharsetName(const CVirtualPreset_section& section, const char* fallback);
  void CheckInputCharset(const CTask& task, const CVirtualPreset_section& input);
  void CheckCharsetMix(const CTask& task, const CVirtualPreset_section& output);
  bool FormatUsed(const CTask& task, const FormatItem& item) const;
  // The task the pair `number` builds, or null.
  const CTask* TaskOfPair(int number) const;
  void Add(FindingSeverity severity, int line, std::string message);

  const CVirtualPreset_file& preset;
  const std::vector<std::unique_ptr<CTask>>& tasks;
  std::vector<ConfigFinding> findings;
};

#endif  // QUILLRADE_CHECK_CONFIG_FINDINGS_H_
