// UTF-8 conversions against a small reference decoder: arbitrary bytes decode exactly when the
// reference accepts them, to the same code points, and encode back to the same bytes; wide text
// encodes exactly when every value is at most U+10FFFF, and decodes back to itself.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/StringUtils.h>

namespace {

// Shortest-form sequences of values up to U+10FFFF, surrogate values included.
std::optional<std::wstring> ReferenceDecode(const std::string& text) {
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  std::wstring decoded;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC0 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF8 ? 4
                                             : 0;
    if (length == 0 || text.size() - i < length) return std::nullopt;
    char32_t value = lead & (length == 1 ? 0x7F : 0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      value = value << 6 | (next & 0x3F);
    }
    if (value < kSmallest[length] || value > 0x10FFFF) return std::nullopt;
    decoded.push_back(static_cast<wchar_t>(value));
    i += length;
  }
  return decoded;
}

// Runs `convert`, telling whether it refused the text with the described range_error.
template <typename Convert>
bool Refused(Convert convert) {
  try {
    convert();
    return false;
  } catch (const std::range_error&) {
    return true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    const std::string text = input.ConsumeRemainingBytesAsString();
    const std::optional<std::wstring> expected = ReferenceDecode(text);
    std::wstring wide;
    if (Refused([&] { wide = Melvo::Utf8ToWString(text); }) != !expected) std::abort();
    if (expected && (wide != *expected || Melvo::WStringToUtf8(wide) != text)) std::abort();
    return 0;
  }
  std::wstring wide;
  bool encodable = true;
  while (input.remaining_bytes() != 0) {
    // Mostly plausible code points, now and then any 32-bit value.
    const auto value = input.ConsumeBool() ? input.ConsumeIntegral<std::uint32_t>()
                                           : input.ConsumeIntegralInRange<std::uint32_t>(0, 0x10FFFF);
    encodable = encodable && value <= 0x10FFFF;
    wide.push_back(static_cast<wchar_t>(value));
  }
  std::string narrow;
  if (Refused([&] { narrow = Melvo::WStringToUtf8(wide); }) != !encodable) std::abort();
  if (encodable && Melvo::Utf8ToWString(narrow) != wide) std::abort();
  return 0;
}
