// Feeds arbitrary bytes to the preset parser, then checks the tree it built: line
// bounds, one section per name, lookups that agree with a plain scan, integers
// that match their texts, and lookups of names taken from the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/virtual_preset_file.h"

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

void CheckSection(const CVirtualPreset_section& section) {
  for (const auto& item : section.Items()) {
    if (item->Parent() != &section) abort();
    if (item->Text().size() > kMaxPresetLineBytes) abort();
    if (item->Text().find('\n') != std::string::npos) abort();
    if (item->Text().find('\0') != std::string::npos) abort();
    if (item->Int() != CVirtualPreset_item::ConvertToInt(item->Text())) abort();
    // The lookup answers the first item with an equal key.
    const CVirtualPreset_item* first = nullptr;
    for (const auto& other : section.Items()) {
      if (EqualNoCase(other->Key(), item->Key())) {
        first = other.get();
        break;
      }
    }
    if (section.FindItem(item->Key()) != first) abort();
  }
}

void CheckContainer(const CVirtualPreset_SectionContainer& container, int depth) {
  if (depth > static_cast<int>(kMaxPresetLineBytes)) abort();
  const auto& sections = container.Sections();
  for (size_t i = 0; i < sections.size(); ++i) {
    const CVirtualPreset_section& section = *sections[i];
    if (section.Parent() != &container) abort();
    for (size_t j = 0; j < i; ++j) {
      if (EqualNoCase(sections[j]->Name(), section.Name())) abort();  // siblings distinct
    }
    if (container.FindSection(section.Name()) != &section) abort();
    CheckSection(section);
    CheckContainer(section, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CVirtualPreset_file preset("/tmp/fuzz.ini");
  preset.Parse(bytes);
  CheckContainer(preset, 0);

  // Lookups with names cut from the input, and with the usual ones.
  const std::string_view head = bytes.substr(0, 16);
  const std::string_view tail = bytes.substr(size > 8 ? size - 8 : 0);
  const std::string_view names[] = {"", "global", "Input0", head, tail};
  for (std::string_view section : names) {
    for (std::string_view key : names) {
      const CVirtualPreset_item* item = preset.GetItem(section, key);
      const std::string text = preset.GetString(item, "default");
      const int number = preset.GetInt(item, -7);
      if (item == nullptr && (text != "default" || number != -7)) abort();
      if (item != nullptr && !item->Text().empty() && text != item->Text()) abort();
    }
  }

  // Parsing again gives the same tree shape.
  const size_t sectionCount = preset.Sections().size();
  preset.Parse(bytes);
  if (preset.Sections().size() != sectionCount) abort();
  return 0;
}
