#include "engine/xml_encodings.h"

#include <libxml/encoding.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "platform/text_codepage.h"

namespace {

// The XML library's handlers carry no context, so each code page gets its own
// pair of functions, one per slot of this table.
constexpr size_t kMaxHandlers = 32;
// Return values the XML library understands.
constexpr int kConversionError = -2;
// UTF-8 bytes one byte of a code page can become (a double-byte character
// becomes at most three).
constexpr int kMaxUtf8PerByte = 3;

std::array<unsigned, kMaxHandlers> g_codePages{};

// The library's converter contract: convert what fits into `out`, report the
// bytes read in `*inLength` and the bytes written in `*outLength`.
int Finish(bool converted, size_t consumed, const std::string& result, unsigned char* out,
           int* outLength, int* inLength) {
  std::memcpy(out, result.data(), result.size());
  *outLength = static_cast<int>(result.size());
  *inLength = static_cast<int>(consumed);
  return converted ? *outLength : kConversionError;
}

template <size_t kSlot>
int ToUtf8(unsigned char* out, int* outLength, const unsigned char* in, int* inLength) {
  const size_t fits = static_cast<size_t>(std::min(*inLength, *outLength / kMaxUtf8PerByte));
  std::string result;
  size_t consumed = 0;
  const bool converted =
      CodePageToUtf8(g_codePages[kSlot], std::string_view(reinterpret_cast<const char*>(in), fits),
                     &consumed, &result);
  return Finish(converted, consumed, result, out, outLength, inLength);
}

// A character becomes at most as many code-page bytes as it has UTF-8 bytes.
template <size_t kSlot>
int FromUtf8(unsigned char* out, int* outLength, const unsigned char* in, int* inLength) {
  if (in == nullptr) {  // a reset of the converter's state: there is none
    *outLength = 0;
    *inLength = 0;
    return 0;
  }
  const size_t fits = static_cast<size_t>(std::min(*inLength, *outLength));
  std::string result;
  size_t consumed = 0;
  const bool converted =
      Utf8ToCodePage(g_codePages[kSlot], std::string_view(reinterpret_cast<const char*>(in), fits),
                     &consumed, &result);
  return Finish(converted, consumed, result, out, outLength, inLength);
}

using Converters = std::pair<xmlCharEncodingInputFunc, xmlCharEncodingOutputFunc>;

template <size_t... kSlots>
constexpr std::array<Converters, kMaxHandlers> MakeConverters(std::index_sequence<kSlots...>) {
  return {Converters{&ToUtf8<kSlots>, &FromUtf8<kSlots>}...};
}

constexpr std::array<Converters, kMaxHandlers> kConverters =
    MakeConverters(std::make_index_sequence<kMaxHandlers>());

int RegisterAll() {
  size_t slot = 0;
  for (const CodePageEncoding& encoding : SystemCodePageEncodings()) {
    if (slot == kMaxHandlers) break;
    g_codePages[slot] = encoding.nCodePage;
    // The library keeps the handler for the rest of the process.
    if (xmlNewCharEncodingHandler(encoding.pName, kConverters[slot].first,
                                  kConverters[slot].second) == nullptr) {
      continue;
    }
    ++slot;
    if (encoding.pAlias != nullptr) xmlAddEncodingAlias(encoding.pName, encoding.pAlias);
  }
  return static_cast<int>(slot);
}

}  // namespace

int RegisterSystemXmlEncodings() {
  static const int registered = RegisterAll();
  return registered;
}
