#include <Plinth/StringUtils.h>
#include <gtest/gtest.h>

#include <codecvt>
#include <locale>

namespace {

// Only the text before a NUL counts; only A-Z and a-z change case, not their neighbours nor bytes
// past ASCII; a suffix matches exactly.
TEST(StringUtils, ConvertsAndChangesCaseOfAsciiLettersOnly) {
  EXPECT_TRUE(Melvo::FromString<bool>(std::string("tRuE\0no", 7), false) &&
              !Melvo::FromWString<bool>(std::wstring(L"\0true", 5), true));
  EXPECT_EQ(Melvo::ToWString(Melvo::ToString(true) + Melvo::ToString<unsigned short>(65535) + "\xC3\xA9"),
            L"true65535\u00E9");
  std::string lower = "@AZ[`az{\xE9", upper = lower;
  Melvo::ToLower(lower);
  Melvo::ToUpper(upper);
  EXPECT_EQ(lower + upper + Melvo::ToUppercase(lower) + Melvo::ToLowercase(upper),
            "@az[`az{\xE9@AZ[`AZ{\xE9@AZ[`AZ{\xE9@az[`az{\xE9");
  EXPECT_TRUE(Melvo::EndsWith(std::string("a.wav"), ".wav") &&
              !Melvo::EndsWith(std::string("a.WAV"), ".wav") &&
              !Melvo::EndsWith(std::wstring(L"av"), L".wav"));
}

// a, b, two-argument result, count, sign of the counted result. Letters compare upper-cased
// ("A" < "_"), bytes unsigned, a NUL ends a text; the counted form never looks past the shorter text,
// so a prefix equals the longer text, yet an empty text gives exactly -1 or 1.
TEST(StringUtils, CaseCompareWholeAndCountedNarrowAndWide) {
  const std::tuple<std::string, std::string, int, unsigned long long, int> cases[] = {
      {"", "a", -1, 5, -1},
      {"a", "", 1, 5, 1},
      {"abc", "ABD", -1, 2, 0},
      {"ABD", "abc", 1, 3, 1},
      {"abc", "ABCD", -1, 10, 0},
      {"a", "_", -1, 1, -1},
      {"\xC3\xA9", "z", 1, 1, 1},
      {std::string("ab\0x", 4), "AB", 0, 4, 0},
      {"", std::string("\0a", 2), -1, 0, 0}};
  const auto sign = [](int value) { return (value > 0) - (value < 0); };
  for (const auto& [a, b, whole, count, counted] : cases) {
    const std::wstring wa = Melvo::ToWString(a), wb = Melvo::ToWString(b);
    const int narrow = Melvo::StringCaseCompare(a, b, count), wide = Melvo::StringCaseCompare(wa, wb, count);
    EXPECT_EQ(std::vector<int>({Melvo::StringCaseCompare(a, b), Melvo::StringCaseCompare(wa, wb),
                                a.empty() || b.empty() ? narrow : sign(narrow), sign(wide)}),
              std::vector<int>({whole, whole, counted, counted}))
        << a << " / " << b << " / " << count;
  }
}

// text, delimiter, keepDuplicates, ignoreCase, tokens, narrow and wide. Empty tokens are never
// dropped as duplicates. Ignoring case matches the delimiter, in the early exits too, and finds
// duplicates in any case, yet the tokens keep the caller's case.
TEST(StringUtils, ParseDelimitedKeepsEmptyTokensAndTheCallersCase) {
  const std::tuple<std::wstring, std::wstring, bool, bool, std::vector<std::string>> cases[] = {
      {L"a,b,a,", L",", true, false, {"a", "b", "a", ""}},
      {L"XoneXtwoxOnexxTWO", L"X", false, true, {"", "one", "two", ""}},
      {L"aaa", L"aa", true, false, {"", "a"}},
      {L"a", L",,", false, false, {}},
      {L"abc", L"", true, true, {"abc"}},
      {L"aXbxBxb", L"x", false, false, {"aXb", "B", "b"}},
      {L"X", L"x", true, true, {}}};
  for (const auto& [text, delimiter, keepDuplicates, ignoreCase, expected] : cases) {
    std::vector<std::string> tokens = {"stale"}, wideTokens;
    std::vector<std::wstring> wide = {L"stale"};
    Melvo::ParseDelimited(Melvo::ToString(text), Melvo::ToString(delimiter), tokens, keepDuplicates,
                          ignoreCase);
    Melvo::ParseDelimited(text, delimiter, wide, keepDuplicates, ignoreCase);
    for (const auto& token : wide) wideTokens.push_back(Melvo::ToString(token));
    EXPECT_TRUE(tokens == expected && wideTokens == expected)
        << Melvo::ToString(text) << " / " << Melvo::ToString(delimiter);
  }
}

// The bytes are those of the standard codecvt_utf8<wchar_t> facet for every value a wide character
// holds up to U+10FFFF, led by U+FEFF and NUL (neither is special), surrogates included and never
// paired; sequences cut short, stray, overlong or past the range are refused.
TEST(StringUtils, Utf8ConvertsLikeTheStandardFacet) {
  std::wstring values = L"\uFEFF";
  for (char32_t c = 0; c <= std::min<char32_t>(0x10FFFF, WCHAR_MAX); ++c) values += static_cast<wchar_t>(c);
  const std::string bytes = Melvo::WStringToUtf8(values);
  std::wstring decoded(values.size() + 1, L'\0');
  std::mbstate_t state{};
  const char* next = nullptr;
  wchar_t* end = nullptr;
  std::codecvt_utf8<wchar_t>().in(state, bytes.data(), bytes.data() + bytes.size(), next, &decoded[0],
                                  &decoded[0] + decoded.size(), end);
  EXPECT_TRUE(next == bytes.data() + bytes.size() && decoded.substr(0, end - decoded.data()) == values);
  EXPECT_EQ(Melvo::Utf8ToWString(bytes), values);
  for (const std::string bad : {"\xC2", "\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
                                "\xF4\x90\x80\x80", "\xF4\x8F\xBF\xBF\xF5\x80\x80\x80", "\xE1\x80",
                                "\xE1\xC0\x80", "\xF8\x88\x80\x80\x80", "\xC3\xA9\xFF"})
    EXPECT_THROW(Melvo::Utf8ToWString(bad), std::range_error) << testing::PrintToString(bad);
  if (sizeof(wchar_t) == 4) {  // only a 32-bit wide character holds values past the range
    EXPECT_THROW(Melvo::WStringToUtf8(std::wstring{L'a', static_cast<wchar_t>(0x110000)}), std::range_error);
  }
}

}  // namespace
