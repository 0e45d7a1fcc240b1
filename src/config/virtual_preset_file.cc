#include "config/virtual_preset_file.h"

#include <climits>
#include <cstdlib>
#include <utility>

#include "config/file_helpers.h"
#include "util/text_util.h"

namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Drops the LF that ended the line, then trailing blanks; the first byte always
// stays, so a line of blanks keeps one.
void TrimLineEnd(std::string& line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  while (line.size() > 1 && line.back() == ' ') line.pop_back();
}

}  // namespace

// --- CVirtualPreset_fileaccess ---

bool CVirtualPreset_fileaccess::ReadLine(std::string* line) {
  line->clear();
  bEndedAtNul = false;
  if (nPos >= data.size()) return false;
  while (line->size() < kMaxPresetLineBytes) {
    if (nPos < data.size() && data[nPos] == '\r') ++nPos;
    if (nPos >= data.size()) break;
    if (data[nPos] == '\0') {
      bEndedAtNul = true;
      const size_t end = data.find('\n', nPos);
      nPos = end == std::string_view::npos ? data.size() : end + 1;
      if (end != std::string_view::npos) line->push_back('\n');
      break;
    }
    const char byte = data[nPos++];
    line->push_back(byte);
    if (byte == '\n') break;
  }
  return true;
}

// --- CVirtualPreset_item ---

CVirtualPreset_item::CVirtualPreset_item(CVirtualPreset_section* parent, std::string key)
    : pParent(parent), strKey(std::move(key)) {
  TrimSpaces(strKey);
}

void CVirtualPreset_item::SetValue(std::string text) {
  strText = std::move(text);
  nValue = ConvertToInt(strText);
}

int CVirtualPreset_item::ConvertToInt(const std::string& text) {
  // long long holds every value a 32-bit long would have saturated at, and
  // strtoll itself saturates beyond 64 bits.
  const long long value = std::strtoll(text.c_str(), nullptr, 0);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// --- CVirtualPreset_SectionContainer ---

CVirtualPreset_section* CVirtualPreset_SectionContainer::FindSection(std::string_view name) const {
  const auto found = sectionIndex.find(FoldAsciiCase(name));
  return found == sectionIndex.end() ? nullptr : found->second;
}

CVirtualPreset_section* CVirtualPreset_SectionContainer::FindOrAddSection(std::string_view name) {
  auto [slot, added] = sectionIndex.try_emplace(FoldAsciiCase(name), nullptr);
  if (!added) return slot->second;
  sections.push_back(std::make_unique<CVirtualPreset_section>(this, std::string(name)));
  slot->second = sections.back().get();
  return slot->second;
}

void CVirtualPreset_SectionContainer::ClearSections() {
  sectionIndex.clear();
  sections.clear();
}

// --- CVirtualPreset_section ---

CVirtualPreset_section::CVirtualPreset_section(CVirtualPreset_SectionContainer* parent,
                                               std::string name)
    : pParent(parent), strName(std::move(name)) {}

CVirtualPreset_item* CVirtualPreset_section::FindItem(std::string_view key) const {
  const auto found = itemIndex.find(FoldAsciiCase(key));
  return found == itemIndex.end() ? nullptr : found->second;
}

CVirtualPreset_item* CVirtualPreset_section::AddItem(std::string key, std::string text) {
  items.push_back(std::make_unique<CVirtualPreset_item>(this, std::move(key)));
  CVirtualPreset_item* item = items.back().get();
  item->SetValue(std::move(text));
  // Only the first item of a key is indexed: lookups answer the first one.
  itemIndex.try_emplace(FoldAsciiCase(item->Key()), item);
  return item;
}

// --- CVirtualPreset_file ---

CVirtualPreset_file::CVirtualPreset_file(std::string_view path) {
  size_t separator = path.rfind('\\');
  if (separator == std::string_view::npos) separator = path.rfind('/');
  if (separator == std::string_view::npos) {
    strFileName = std::string(path);
  } else {
    strFolder = std::string(path.substr(0, separator + 1));
    strFileName = std::string(path.substr(separator + 1));
  }
}

CVirtualPreset_file::~CVirtualPreset_file() = default;

std::string CVirtualPreset_file::FullPath() const { return strFolder + strFileName; }

void CVirtualPreset_file::Clear() {
  ClearSections();
  detachedSections.clear();
  vecNulLines.clear();
  vecLongLines.clear();
}

bool CVirtualPreset_file::Load() {
  Clear();
  std::string bytes;
  loadFailure = ReadWholeFile(FullPath(), kMaxPresetFileBytes, &bytes);
  if (!loadFailure.ok()) return false;
  const size_t end = bytes.find_last_not_of('\0');
  if (end == std::string::npos) {
    loadFailure =
        CResult::Failure(CResultCode::kInvalidArgument, "read " + FullPath(), "it holds no text");
    return false;
  }
  Parse(std::string_view(bytes).substr(0, end + 1));
  return true;
}

void CVirtualPreset_file::Parse(std::string_view bytes) {
  Clear();
  // Editors that save UTF-8 often put a byte-order mark first; it is no part of
  // the first line.
  if (bytes.starts_with(kUtf8ByteOrderMark)) bytes.remove_prefix(kUtf8ByteOrderMark.size());
  CVirtualPreset_fileaccess reader(bytes);
  CVirtualPreset_section* current = nullptr;
  std::string lastHeader;
  int lastHeaderLine = 0;
  std::string line;
  // The physical line the next piece starts on: a piece cut at the length limit
  // continues the same line.
  int lineNumber = 1;
  size_t physicalBytes = 0;  // of the physical line read so far in pieces
  while (reader.ReadLine(&line)) {
    const int thisLine = lineNumber;
    const bool ended = reader.EndedAtNul() || line.empty() || line.back() == '\n';
    if (reader.EndedAtNul() && (vecNulLines.empty() || vecNulLines.back() != thisLine)) {
      vecNulLines.push_back(thisLine);
    }
    physicalBytes += line.size() - (!line.empty() && line.back() == '\n' ? 1 : 0);
    if (ended || line.size() < kMaxPresetLineBytes) {
      if (physicalBytes > kMaxPresetLineBytes) vecLongLines.push_back({thisLine, physicalBytes});
      physicalBytes = 0;
    }
    if (line.empty()) continue;
    if (line.back() == '\n') ++lineNumber;
    TrimLineEnd(line);
    if (line.starts_with('[')) {
      lastHeader = line;
      lastHeaderLine = thisLine;
      current = ResolveHeader(lastHeader, false, thisLine);
      continue;
    }
    if (current == nullptr) {
      // A broken header's section belongs to the header's line; the section
      // before any header to its first line.
      current = ResolveHeader(lastHeader, true, lastHeaderLine != 0 ? lastHeaderLine : thisLine);
    }
    AddLineItem(current, line, thisLine);
  }
}

CVirtualPreset_section* CVirtualPreset_file::ResolveHeader(std::string_view header,
                                                           bool createIfMissing, int lineNumber) {
  if (header.empty() && createIfMissing) {
    CVirtualPreset_section* unnamed = FindOrAddSection("");
    unnamed->SetLineOnce(lineNumber);
    return unnamed;
  }
  CVirtualPreset_SectionContainer* container = this;
  CVirtualPreset_section* result = nullptr;
  size_t pos = 0;
  while (true) {
    const size_t open = header.find('[', pos);
    if (open == std::string_view::npos) break;
    const size_t close = header.find(']', open + 1);
    if (close == std::string_view::npos) break;
    result = container->FindOrAddSection(header.substr(open + 1, close - open - 1));
    result->SetLineOnce(lineNumber);
    container = result;
    if (close + 1 >= header.size()) break;
    pos = close;
  }
  if (result == nullptr && createIfMissing) {
    detachedSections.push_back(std::make_unique<CVirtualPreset_section>(nullptr, ""));
    result = detachedSections.back().get();
    result->SetLineOnce(lineNumber);
  }
  return result;
}

void CVirtualPreset_file::AddLineItem(CVirtualPreset_section* section, const std::string& line,
                                      int lineNumber) {
  if (line.starts_with(';')) {
    section->AddItem(";", line.substr(1))->AddLine(lineNumber);
    return;
  }
  const size_t equals = line.find('=');
  if (equals == std::string::npos) {
    section->AddItem("", line)->AddLine(lineNumber);
    return;
  }
  std::string key = line.substr(0, equals);
  TrimSpaces(key);
  std::string text = line.substr(equals + 1);
  CVirtualPreset_item* item = section->FindItem(key);
  if (item != nullptr) {
    item->SetValue(std::move(text));
  } else {
    item = section->AddItem(std::move(key), std::move(text));
  }
  item->AddLine(lineNumber);
}

const CVirtualPreset_item* CVirtualPreset_file::GetItem(std::string_view section,
                                                        std::string_view key) const {
  const CVirtualPreset_section* found = FindSection(section);
  return found == nullptr ? nullptr : found->FindItem(key);
}

std::string CVirtualPreset_file::GetString(const CVirtualPreset_item* item,
                                           std::string_view defaultValue) const {
  if (item == nullptr || item->Text().empty()) return std::string(defaultValue);
  return item->Text();
}

int CVirtualPreset_file::GetInt(const CVirtualPreset_item* item, int defaultValue) const {
  return item == nullptr ? defaultValue : item->Int();
}
