// UTF-8 decoding of arbitrary bytes against a small reference decoder: a text is accepted exactly
// when the reference accepts it, gives the same code points and encodes back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::wstring> expected = ReferenceDecode(text);
  try {
    const std::wstring wide = Melvo::Utf8ToWString(text);
    if (!expected || wide != *expected || Melvo::WStringToUtf8(wide) != text) std::abort();
  } catch (const std::range_error&) {
    if (expected) std::abort();
  }
  return 0;
}
