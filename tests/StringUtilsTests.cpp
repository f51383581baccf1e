#include <Plinth/StringUtils.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <codecvt>
#include <limits>
#include <locale>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// The standard codecvt_utf8<wchar_t> facet, whose behaviour the conversions follow. Its wide
// characters are UTF-32 or, where wchar_t has 16 bits, UCS-2; surrogate values pass through it
// unpaired. Decoding gives "(rejected)" where the facet reports an error or stops short.
const std::codecvt_utf8<wchar_t> kFacet;

std::wstring FacetDecode(const std::string& bytes) {
  std::wstring text(bytes.size(), L'\0');
  std::mbstate_t state{};
  const char* next = nullptr;
  wchar_t* textEnd = nullptr;
  const char* end = bytes.data() + bytes.size();
  const auto result = kFacet.in(state, bytes.data(), end, next, &text[0], &text[0] + text.size(), textEnd);
  if (result != std::codecvt_base::ok || next != end) return L"(rejected)";
  return text.substr(0, static_cast<std::size_t>(textEnd - text.data()));
}

TEST(ValueConversion, BoolsNumbersAndEmptyText) {
  // The first four read as true whatever the second argument: only the text before a NUL counts.
  const std::string texts[] = {"true", "TRUE",  "True",  std::string("tRuE\0no", 7), "false", "1", "yes",
                               "",     " true", "true ", std::string("\0true", 5)};
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    EXPECT_EQ(Melvo::FromString<bool>(texts[i], i % 2), i < 4) << i;
    EXPECT_EQ(Melvo::FromWString<bool>(Melvo::ToWString(texts[i]), i % 2 == 0), i < 4) << i;
  }
  EXPECT_EQ(Melvo::ToString<unsigned short>(65535) + Melvo::ToString<unsigned short>(0), "655350");
  EXPECT_EQ(Melvo::ToWString<unsigned short>(65535) + Melvo::ToWString<unsigned short>(0), L"655350");
  EXPECT_EQ(Melvo::ToString(true) + Melvo::ToString(false) + Melvo::ToString(std::wstring(L"\u00E9")),
            "truefalse\xC3\xA9");
  EXPECT_EQ(Melvo::ToWString(true) + Melvo::ToWString(false) + Melvo::ToWString(std::string("\xC3\xA9")),
            L"truefalse\u00E9");
}

TEST(StringCaseCompare, WholeAndCountedFormsNarrowAndWide) {
  // a, b, two-argument result, count, sign of the counted result. The counted form never looks past
  // the shorter text, so a prefix equals the longer text. Letters are upper-cased ("A" < "_") and
  // bytes compare unsigned.
  const std::tuple<std::string, std::string, int, unsigned long long, int> cases[] = {
      {"", "", 0, 5, 0},       {"", "a", -1, 5, -1},      {"a", "", 1, 5, 1},      {"", "a", -1, 0, 0},
      {"abc", "ABC", 0, 3, 0}, {"abc", "abd", -1, 2, 0},  {"ABD", "abc", 1, 3, 1}, {"abc", "ABCD", -1, 10, 0},
      {"a", "_", -1, 1, -1},   {"\xC3\xA9", "z", 1, 1, 1}};
  const auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const auto& [a, b, whole, count, counted] : cases) {
    SCOPED_TRACE(a + " / " + b + " / " + std::to_string(count));
    EXPECT_EQ(Melvo::StringCaseCompare(a, b), whole);
    EXPECT_EQ(Melvo::StringCaseCompare(Melvo::ToWString(a), Melvo::ToWString(b)), whole);
    EXPECT_EQ(sign(Melvo::StringCaseCompare(a, b, count)), counted);
    EXPECT_EQ(sign(Melvo::StringCaseCompare(Melvo::ToWString(a), Melvo::ToWString(b), count)), counted);
  }
  EXPECT_EQ(Melvo::StringCaseCompare(std::string("ab\0x", 4), std::string("AB\0y", 4)), 0);  // stops at NUL
  // An empty text gives exactly -1 or 1 in both forms; a text led by NUL is not empty.
  const std::string empty, nulLed("\0a", 2);
  EXPECT_EQ(Melvo::StringCaseCompare(empty, "a", 5), -1);
  EXPECT_EQ(Melvo::StringCaseCompare("a", empty, 5), 1);
  EXPECT_EQ(Melvo::StringCaseCompare(empty, nulLed), -1);
  EXPECT_EQ(Melvo::StringCaseCompare(nulLed, empty), 1);
}

TEST(CaseChangeAndSuffix, AsciiLettersOnlyAndExactSuffixes) {
  // Only A-Z and a-z change, not their neighbours nor bytes past ASCII.
  std::string lower = "@AZ[`az{\xE9", upper = lower;
  Melvo::ToLower(lower);
  Melvo::ToUpper(upper);
  EXPECT_EQ(lower + Melvo::ToLowercase(upper) + upper + Melvo::ToUppercase(lower),
            "@az[`az{\xE9@az[`az{\xE9@AZ[`AZ{\xE9@AZ[`AZ{\xE9");
  auto ends = [](auto t, auto s) { return Melvo::EndsWith(std::basic_string(t), std::basic_string(s)); };
  EXPECT_TRUE(ends("a.wav", ".wav") && ends("", "") && ends("x", "") && ends(L"a.wav", L".wav"));
  // Case matters; a shorter text, or the suffix elsewhere than at the end, does not count.
  EXPECT_FALSE(ends("a.WAV", ".wav") || ends("av", ".wav") || ends("wave", "wav") || ends(L"av", L".wav"));
}

TEST(ParseDelimited, EarlyExitsEmptyTokensDuplicatesAndCase) {
  // text, delimiter, keepDuplicates, ignoreCase, tokens. Empty tokens are never dropped as
  // duplicates. Ignoring case matches the delimiter in any case, in the early exits too, and finds
  // duplicates in any case, yet the tokens keep the caller's case.
  const std::tuple<std::string, std::string, bool, bool, std::vector<std::string>> cases[] = {
      {"a,b,a,", ",", true, false, {"a", "b", "a", ""}},
      {"XoneXtwoxOnexxTWO", "X", false, true, {"", "one", "two", ""}},
      {"aaa", "aa", true, false, {"", "a"}},
      {"", "", false, true, {}},
      {"a", ",,", false, false, {}},
      {"abc", "", true, true, {"abc"}},
      {"abc", ",", false, false, {"abc"}},
      {"ab", "ba", false, false, {"ab"}},
      {"aXbxBxb", "x", false, false, {"aXb", "B", "b"}},
      {"aXb", "x", true, true, {"a", "b"}},
      {"X", "x", true, true, {}}};  // no tokens for a text that is the delimiter, not two empty ones
  for (const auto& [text, delimiter, keepDuplicates, ignoreCase, expected] : cases) {
    std::vector<std::string> tokens = {"stale"};
    Melvo::ParseDelimited(text, delimiter, tokens, keepDuplicates, ignoreCase);
    EXPECT_EQ(tokens, expected) << text << " / " << delimiter;
  }
  std::vector<std::wstring> wide = {L"stale"};
  Melvo::ParseDelimited(std::wstring(L"aXbxBxB"), std::wstring(L"X"), wide, false, true);
  EXPECT_EQ(wide, (std::vector<std::wstring>{L"a", L"b"}));
}

TEST(Utf8, EveryWideValueLikeTheStandardFacet) {
  // Led by U+FEFF and NUL: no byte-order mark is special, and NUL is a character like any other.
  // Then every value a wide character holds up to U+10FFFF, surrogates included, so that adjacent
  // surrogate halves show that they are never paired.
  std::wstring values = L"\uFEFF";
  const char32_t last = std::min<char32_t>(0x10FFFF, std::numeric_limits<wchar_t>::max());
  for (char32_t c = 0; c <= last; ++c) values += static_cast<wchar_t>(c);
  const std::string utf8 = Melvo::WStringToUtf8(values);
  // The facet decodes only the shortest forms: reading the same values back proves the bytes.
  ASSERT_EQ(FacetDecode(utf8), values);
  ASSERT_EQ(Melvo::Utf8ToWString(utf8), values);
  // A lead byte past F4 fails even right after a valid 4-byte sequence.
  EXPECT_THROW(Melvo::Utf8ToWString("\xF4\x8F\xBF\xBF\xF5\x80\x80\x80"), std::range_error);
  // A 32-bit wchar_t holds values past U+10FFFF, and negative ones: none of them converts.
  if (sizeof(wchar_t) == 4) {
    for (const auto bad : {0x110000, 0x7FFFFFFF, -1})
      EXPECT_THROW(Melvo::WStringToUtf8(std::wstring{L'a', static_cast<wchar_t>(bad)}), std::range_error);
  }
}

// Lead bytes of every kind (lowest, highest, continuation bytes asked for), mostly followed by the
// continuation bytes asked for, else by 0 to 3. Cut-short sequences, stray continuations, overlong
// forms, surrogates and values past U+10FFFF (or, with a 16-bit wchar_t, past U+FFFF) all turn up.
TEST(Utf8, RandomBytesDecodeLikeTheStandardFacet) {
  const int leads[][3] = {{0x01, 0x7F, 0}, {0x80, 0xBF, 0}, {0xC0, 0xDF, 1},
                          {0xE0, 0xEF, 2}, {0xF0, 0xF7, 3}, {0xF8, 0xFF, 0}};
  std::mt19937 rng(77);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    for (int piece = 1 + rng() % 4; piece > 0; --piece) {
      const int* lead = leads[rng() % std::size(leads)];
      bytes += static_cast<char>(lead[0] + rng() % (lead[1] - lead[0] + 1));
      for (int n = rng() % 5 ? lead[2] : int(rng() % 4); n > 0; --n) bytes += char(0x80 + rng() % 64);
    }
    SCOPED_TRACE(testing::PrintToString(bytes));
    try {
      ASSERT_EQ(Melvo::Utf8ToWString(bytes), FacetDecode(bytes));
    } catch (const std::range_error& error) {
      ASSERT_TRUE(FacetDecode(bytes) == L"(rejected)" && error.what() == std::string("bad conversion"));
    }
  }
}

}  // namespace
