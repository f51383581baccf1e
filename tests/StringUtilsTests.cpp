#include <Plinth/StringUtils.h>
#include <gtest/gtest.h>

#include <codecvt>
#include <locale>

namespace {

// a, b, two-argument result, count, sign of the counted result. Letters compare upper-cased
// ("A" < "_"), bytes unsigned, a NUL ends a text; the counted form never looks past the shorter text,
// so a prefix equals the longer text, yet an empty text gives exactly -1 or 1.
TEST(StringUtils, CaseCompareWholeAndCountedNarrowAndWide) {
  const std::tuple<std::string, std::string, int, unsigned long long, int> cases[] = {
      {"", "a", -1, 5, -1},
      {"a", "", 1, 5, 1},
      {"abc", "ABD", -1, 2, 0},
      {"abc", "ABCD", -1, 10, 0},
      {"a", "_", -1, 1, -1},
      {"\xC3\xA9", "z", 1, 1, 1},
      {std::string("ab\0x", 4), "AB", 0, 4, 0},
      {"", std::string("\0a", 2), -1, 0, 0}};
  for (const auto& [a, b, whole, count, counted] : cases) {
    const std::wstring wa = Melvo::ToWString(a), wb = Melvo::ToWString(b);
    const int narrow = Melvo::StringCaseCompare(a, b, count), wide = Melvo::StringCaseCompare(wa, wb, count);
    EXPECT_EQ(std::vector<int>({Melvo::StringCaseCompare(a, b), Melvo::StringCaseCompare(wa, wb),
                                a.empty() || b.empty() ? narrow : (narrow > 0) - (narrow < 0),
                                (wide > 0) - (wide < 0)}),
              std::vector<int>({whole, whole, counted, counted}))
        << a << " / " << b << " / " << count;
  }
}

// The bytes are those of the standard codecvt_utf8<wchar_t> facet for every value a wide character
// holds up to U+10FFFF, led by U+FEFF and NUL (neither is special), surrogates included and never
// paired; sequences cut short, stray, overlong or past the range are refused.
TEST(StringUtils, Utf8ConvertsLikeTheStandardFacet) {
  std::wstring values = L"\uFEFF";
  for (char32_t c = 0; c <= std::min<char32_t>(0x10FFFF, WCHAR_MAX); ++c) values += static_cast<wchar_t>(c);
  const std::string bytes = Melvo::WStringToUtf8(values);
  EXPECT_TRUE(std::wstring_convert<std::codecvt_utf8<wchar_t>>().from_bytes(bytes) == values &&
              Melvo::Utf8ToWString(bytes) == values);
  for (const std::string bad : {"\xC2", "\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
                                "\xF4\x90\x80\x80", "\xF4\x8F\xBF\xBF\xF5\x80\x80\x80", "\xE1\x80",
                                "\xE1\xC0\x80", "\xF8\x88\x80\x80\x80", "\xC3\xA9\xFF"})
    EXPECT_THROW(Melvo::Utf8ToWString(bad), std::range_error) << testing::PrintToString(bad);
  if (sizeof(wchar_t) == 4) {  // only a 32-bit wide character holds values past the range
    EXPECT_THROW(Melvo::WStringToUtf8(std::wstring{L'a', static_cast<wchar_t>(0x110000)}), std::range_error);
  }
}

}  // namespace
