// UTF-8 conversions: arbitrary bytes decode exactly when a plain reference decoder accepts them,
// to the same code points, and what decodes encodes back to the same bytes; arbitrary wide text
// encodes exactly when every value is at most U+10FFFF, and decodes back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/StringUtils.h>

namespace {

// Shortest-form sequences of values up to U+10FFFF, surrogate values included.
std::optional<std::u32string> ReferenceDecode(const std::string& text) {
  std::u32string decoded;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
      length = 1, value = lead;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3, value = lead & 0x0F, smallest = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
      return std::nullopt;
    }
    if (text.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      value = value << 6 | (next & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF) return std::nullopt;
    decoded.push_back(value);
    i += length;
  }
  return decoded;
}

bool SameCodePoints(const std::wstring& wide, const std::u32string& points) {
  if (wide.size() != points.size()) return false;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (static_cast<std::uint32_t>(wide[i]) != static_cast<std::uint32_t>(points[i])) return false;
  }
  return true;
}

void CheckNarrow(const std::string& text) {
  const std::optional<std::u32string> expected = ReferenceDecode(text);
  std::wstring wide;
  try {
    wide = Melvo::Utf8ToWString(text);
  } catch (const std::range_error&) {
    if (expected) std::abort();
    return;
  }
  if (!expected || !SameCodePoints(wide, *expected)) std::abort();
  if (Melvo::WStringToUtf8(wide) != text) std::abort();
}

void CheckWide(const std::wstring& wide) {
  bool encodable = true;
  for (const wchar_t c : wide) {
    if (c < 0 || static_cast<std::uint32_t>(c) > 0x10FFFF) encodable = false;
  }
  std::string narrow;
  try {
    narrow = Melvo::WStringToUtf8(wide);
  } catch (const std::range_error&) {
    if (encodable) std::abort();
    return;
  }
  if (!encodable || Melvo::Utf8ToWString(narrow) != wide) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    CheckNarrow(input.ConsumeRemainingBytesAsString());
  } else {
    std::wstring wide;
    while (input.remaining_bytes() != 0) {
      // Mostly plausible code points, now and then any 32-bit value.
      wide.push_back(input.ConsumeBool()
                         ? static_cast<wchar_t>(input.ConsumeIntegral<std::int32_t>())
                         : static_cast<wchar_t>(input.ConsumeIntegralInRange<std::uint32_t>(0, 0x10FFFF)));
    }
    CheckWide(wide);
  }
  return 0;
}
