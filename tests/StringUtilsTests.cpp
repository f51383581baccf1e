#include <Plinth/StringUtils.h>

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// The standard UTF-8 facet is deprecated, but it is the very behaviour the conversions promise,
// so the tests compare against it directly.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <codecvt>
#include <locale>

namespace {

using Melvo::StringCaseCompare;
using Tokens = std::vector<std::string>;

// The facet's result, or nothing when it reports an error or a truncated ("partial") end.
std::optional<std::wstring> FacetDecode(const std::string& utf8) {
  std::codecvt_utf8<wchar_t> facet;
  std::mbstate_t state{};
  std::wstring out(utf8.size(), L'\0');
  const char* fromNext = nullptr;
  wchar_t* toNext = nullptr;
  if (facet.in(state, utf8.data(), utf8.data() + utf8.size(), fromNext, out.data(), out.data() + out.size(),
               toNext) != std::codecvt_base::ok)
    return std::nullopt;
  out.resize(static_cast<std::size_t>(toNext - out.data()));
  return out;
}

std::optional<std::string> FacetEncode(const std::wstring& wide) {
  std::codecvt_utf8<wchar_t> facet;
  std::mbstate_t state{};
  std::string out(wide.size() * 4, '\0');
  const wchar_t* fromNext = nullptr;
  char* toNext = nullptr;
  if (facet.out(state, wide.data(), wide.data() + wide.size(), fromNext, out.data(), out.data() + out.size(),
                toNext) != std::codecvt_base::ok)
    return std::nullopt;
  out.resize(static_cast<std::size_t>(toNext - out.data()));
  return out;
}

#pragma GCC diagnostic pop

// glibc's iconv between UTF-8 and UTF-32 (the layout of wchar_t text here); nothing when it
// rejects the input. Its UTF-32 side, unlike WCHAR_T, refuses values above U+10FFFF.
std::optional<std::string> Iconv(const char* to, const char* from, std::string in) {
  const iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  std::string out(in.size() * 4 + 4, '\0');
  char* inNext = in.data();
  char* outNext = out.data();
  std::size_t inLeft = in.size(), outLeft = out.size();
  const std::size_t result = iconv(cd, &inNext, &inLeft, &outNext, &outLeft);
  iconv_close(cd);
  if (result == static_cast<std::size_t>(-1)) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

std::optional<std::wstring> IconvDecode(const std::string& utf8) {
  const auto raw = Iconv("UTF-32LE", "UTF-8", utf8);
  if (!raw) return std::nullopt;
  return std::wstring(reinterpret_cast<const wchar_t*>(raw->data()), raw->size() / sizeof(wchar_t));
}

std::optional<std::string> IconvEncode(const std::wstring& wide) {
  return Iconv("UTF-8", "UTF-32LE", std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 4));
}

// Ours, with a rejection checked to be the promised exception.
template <typename Out, typename In>
std::optional<Out> Ours(Out (*convert)(const In&), const In& in) {
  try {
    return convert(in);
  } catch (const std::range_error& error) {
    EXPECT_STREQ(error.what(), "bad conversion");
    return std::nullopt;
  }
}

std::string Hex(const std::string& bytes) {
  std::ostringstream out;
  for (unsigned char byte : bytes) out << std::hex << static_cast<int>(byte) << ' ';
  return out.str();
}

// Bytes that stress a decoder: valid sequences of every length, stray continuation bytes, short
// sequences, overlong forms, values past U+10FFFF, bytes that start nothing, surrogate forms.
std::string RandomUtf8ish(std::mt19937& rng) {
  const auto byte = [&](int low, int high) {
    return static_cast<char>(std::uniform_int_distribution<int>(low, high)(rng));
  };
  std::string out;
  for (int piece = byte(1, 6); piece > 0; --piece) {
    switch (rng() % 10) {
      case 0:
        out += byte(0x01, 0x7F);
        break;
      case 1:
        out += {byte(0xC2, 0xDF), byte(0x80, 0xBF)};
        break;
      case 2:
        out += {byte(0xE1, 0xEF), byte(0x80, 0xBF), byte(0x80, 0xBF)};
        break;
      case 3:
        out += {byte(0xF1, 0xF3), byte(0x80, 0xBF), byte(0x80, 0xBF), byte(0x80, 0xBF)};
        break;
      case 4:
        out += byte(0x80, 0xBF);
        break;
      case 5:
        out += {byte(0xC2, 0xF4), byte(0x80, 0xBF)};
        break;
      case 6:
        out += {byte(0xC0, 0xC1), byte(0x80, 0xBF)};
        break;
      case 7:
        out += {'\xE0', byte(0x80, 0xBF), byte(0x80, 0xBF)};
        break;
      case 8:
        out += {byte(0xF0, 0xF7), byte(0x80, 0xBF), byte(0x80, 0xBF), byte(0x80, 0xBF)};
        break;
      default:
        out += byte(0xF5, 0xFF);
    }
  }
  return out;
}

TEST(ValueConversion, BoolsNumbersAndStrings) {
  for (bool flag : {false, true}) {
    for (std::string text : {"true", "TRUE", "True", "false", "1", "yes", "", " true", "true "}) {
      const bool expected = text == "true" || text == "TRUE" || text == "True";
      EXPECT_EQ(Melvo::FromString<bool>(text, flag), expected) << text;
      EXPECT_EQ(Melvo::FromWString<bool>(Melvo::ToWString(text), flag), expected) << text;
    }
  }
  // Only the part before a NUL counts.
  EXPECT_TRUE(Melvo::FromString<bool>(std::string("true\0junk", 9), false));
  EXPECT_FALSE(Melvo::FromWString<bool>(std::wstring(L"\0true", 5), true));

  for (unsigned value = 0; value <= 0xFFFF; ++value) {
    std::ostringstream text;
    text << value;
    ASSERT_EQ(Melvo::ToString(static_cast<unsigned short>(value)), text.str());
    ASSERT_EQ(Melvo::ToWString(static_cast<unsigned short>(value)), Melvo::ToWString(text.str()));
  }
  EXPECT_EQ(Melvo::ToString(true) + Melvo::ToString(false), "truefalse");
  EXPECT_EQ(Melvo::ToWString(true) + Melvo::ToWString(false), L"truefalse");
  EXPECT_EQ(Melvo::ToString(std::wstring(L"\u20AC\U0001F600")), "\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(StringCaseCompare, BothFormsNarrowAndWide) {
  struct Case {
    const char* a;
    const char* b;
    int whole;            // two-argument result
    std::uint64_t count;  // for the counted form
    int counted;          // sign of the counted result
  };
  const Case cases[] = {
      {"", "", 0, 5, 0},
      {"", "a", -1, 5, -1},
      {"a", "", 1, 5, 1},
      {"", "a", -1, 0, 0},
      {"abc", "ABC", 0, 3, 0},
      {"abc", "abd", -1, 2, 0},
      {"ABD", "abc", 1, 3, 1},
      {"abc", "ABCD", -1, 10, 0},
      {"abc", "abcdef", -1, 0, 0},
      {"abc", "abcdef", -1, 3, 0},
      {"abd", "abcdef", 1, 100, 1},
      {"a", "_", -1, 1, -1},  // upper-casing puts letters before "_"
  };
  for (const Case& c : cases) {
    const auto sign = [](int v) { return (v > 0) - (v < 0); };
    const std::wstring wa = Melvo::ToWString(std::string(c.a));
    const std::wstring wb = Melvo::ToWString(std::string(c.b));
    EXPECT_EQ(StringCaseCompare(c.a, c.b), c.whole) << c.a << " / " << c.b;
    EXPECT_EQ(StringCaseCompare(wa, wb), c.whole) << c.a << " / " << c.b;
    EXPECT_EQ(sign(StringCaseCompare(c.a, c.b, c.count)), c.counted) << c.a << " / " << c.b << " " << c.count;
    EXPECT_EQ(sign(StringCaseCompare(wa, wb, c.count)), c.counted) << c.a << " / " << c.b << " " << c.count;
  }
  EXPECT_EQ(StringCaseCompare("\xE9", "z"), 1);  // bytes compare unsigned
  EXPECT_EQ(StringCaseCompare(std::string("ab\0x", 4), std::string("AB\0y", 4)), 0);  // stops at NUL
}

TEST(CaseChangeAndSuffix, AsciiLettersOnlyAndExactSuffixes) {
  const std::string mixed = "Hello, World 42 \xC3\xA9!";
  std::string lower = mixed, upper = mixed;
  Melvo::ToLower(lower);
  Melvo::ToUpper(upper);
  EXPECT_EQ(lower, "hello, world 42 \xC3\xA9!");
  EXPECT_EQ(upper, "HELLO, WORLD 42 \xC3\xA9!");
  EXPECT_EQ(Melvo::ToLowercase(mixed) + Melvo::ToUppercase(mixed), lower + upper);
  EXPECT_EQ(mixed, "Hello, World 42 \xC3\xA9!");

  for (auto [text, suffix, ends] : {std::tuple{"file.wav", ".wav", true},
                                    {"file.WAV", ".wav", false},
                                    {"av", ".wav", false},
                                    {"file.wave", ".wav", false},
                                    {"", "", true},
                                    {"x", "", true},
                                    {"", "x", false}}) {
    EXPECT_EQ(Melvo::EndsWith(text, suffix), ends) << text << " / " << suffix;
    EXPECT_EQ(Melvo::EndsWith(Melvo::ToWString(std::string(text)), Melvo::ToWString(std::string(suffix))),
              ends);
  }
}

// Splits narrow and wide with stale entries in `tokens`, checks the two agree, returns narrow.
Tokens Split(const std::string& text, const std::string& delimiter, bool keepDuplicates, bool ignoreCase) {
  Tokens tokens = {"stale"};
  Melvo::ParseDelimited(text, delimiter, tokens, keepDuplicates, ignoreCase);
  std::vector<std::wstring> wide = {L"stale"};
  Melvo::ParseDelimited(Melvo::ToWString(text), Melvo::ToWString(delimiter), wide, keepDuplicates,
                        ignoreCase);
  Tokens fromWide;
  for (const auto& token : wide) fromWide.push_back(Melvo::ToString(token));
  EXPECT_EQ(fromWide, tokens) << text;
  return tokens;
}

TEST(ParseDelimited, TokensEarlyExitsDuplicatesAndCase) {
  EXPECT_EQ(Split("a,b,a", ",", true, false), (Tokens{"a", "b", "a"}));
  EXPECT_EQ(Split("a,b,a", ",", false, false), (Tokens{"a", "b"}));
  EXPECT_EQ(Split("x;y;x;y;z;x", ";", false, false), (Tokens{"x", "y", "z"}));
  EXPECT_EQ(Split("one::two::::one", "::", false, false), (Tokens{"one", "two", ""}));
  EXPECT_EQ(Split("aaa", "aa", true, false), (Tokens{"", "a"}));  // occurrences do not overlap
  for (bool flag : {false, true}) {
    EXPECT_EQ(Split("a,,b,", ",", flag, !flag), (Tokens{"a", "", "b", ""}));
    EXPECT_EQ(Split(",a", ",", flag, flag), (Tokens{"", "a"}));
    EXPECT_EQ(Split(",,", ",", flag, flag), (Tokens{"", "", ""}));
    for (auto [text, delimiter] : {std::pair{"", ","}, {"", ""}, {",", ","}, {"a", ",,"}})
      EXPECT_EQ(Split(text, delimiter, true, flag), Tokens{}) << text;
    EXPECT_EQ(Split("abc", "", true, flag), Tokens{"abc"});
    EXPECT_EQ(Split("abc", ",", true, flag), Tokens{"abc"});
  }
  // Ignoring case matches the delimiter in any case, the early tests included, and keeps the
  // caller's case in the tokens.
  EXPECT_EQ(Split("AxbxBxa", "x", false, true), (Tokens{"A", "b"}));
  EXPECT_EQ(Split("AxbxBxa", "x", false, false), (Tokens{"A", "b", "B", "a"}));
  EXPECT_EQ(Split("OneANDtwoandThree", "and", true, true), (Tokens{"One", "two", "Three"}));
  EXPECT_EQ(Split("aXb", "x", true, true), (Tokens{"a", "b"}));
  EXPECT_EQ(Split("aXb", "x", true, false), (Tokens{"aXb"}));
  EXPECT_EQ(Split("X", "x", true, true), Tokens{});
}

// Random texts: the tokens joined by the delimiter rebuild the text, and dropping duplicates
// keeps exactly the first occurrence of each non-empty token (compared ignoring case if asked).
TEST(ParseDelimited, RandomTextsRebuildAndDeduplicate) {
  std::mt19937 rng(20240605);
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 15, ' ');
    for (char& c : text) c = "abAB,;"[rng() % 6];
    const std::string delimiter = round % 2 ? "," : ",;";
    for (bool ignoreCase : {false, true}) {
      const auto key = [&](const std::string& s) { return ignoreCase ? Melvo::ToLowercase(s) : s; };
      if (key(text).find(key(delimiter)) == std::string::npos || key(text) == key(delimiter)) continue;
      const Tokens all = Split(text, delimiter, true, ignoreCase);
      std::string joined;
      Tokens distinct;
      std::vector<std::string> seen;
      for (const auto& token : all) {
        joined += (&token == &all.front() ? "" : delimiter) + key(token);
        if (token.empty() || std::find(seen.begin(), seen.end(), key(token)) == seen.end()) {
          if (!token.empty()) seen.push_back(key(token));
          distinct.push_back(token);
        }
      }
      ASSERT_EQ(joined, key(text));
      ASSERT_EQ(Split(text, delimiter, false, ignoreCase), distinct) << text;
    }
  }
}

TEST(Utf8, KnownTextAndRejections) {
  EXPECT_EQ(Melvo::Utf8ToWString("\xC3\xA9"), L"\u00E9");
  EXPECT_EQ(Melvo::WStringToUtf8(L"\u20AC"), "\xE2\x82\xAC");
  EXPECT_EQ(Melvo::Utf8ToWString("") + L"|" + Melvo::ToWString(Melvo::WStringToUtf8(L"")), L"|");
  EXPECT_EQ(Melvo::Utf8ToWString("\xF0\x9F\x98\x80").size(), 1u);          // one character per code point
  EXPECT_EQ(Melvo::Utf8ToWString("\xED\xA0\xBD\xED\xB8\x80").size(), 2u);  // surrogates never paired
  EXPECT_EQ(Melvo::Utf8ToWString("\xEF\xBB\xBFx"), L"\uFEFFx");            // no byte-order mark handling
  EXPECT_EQ(Melvo::Utf8ToWString(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  for (std::string bad : {"\xC3", "a\xC3", "\xE2\x82", "\xC3x", "\x80", "\xC0\x80", "\xE0\x80\x80",
                          "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF"})
    EXPECT_EQ(Ours(&Melvo::Utf8ToWString, bad), std::nullopt) << Hex(bad);
  for (const auto bad : {0x110000, 0x7FFFFFFF, -1})
    EXPECT_EQ(Ours(&Melvo::WStringToUtf8, std::wstring{L'a', static_cast<wchar_t>(bad)}), std::nullopt);
}

TEST(Utf8, EveryCodePointLikeIconvAndSurrogatesLikeTheFacet) {
  std::wstring scalars;
  for (char32_t c = 1; c <= 0x10FFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) scalars += static_cast<wchar_t>(c);
  }
  const std::string utf8 = Melvo::WStringToUtf8(scalars);
  ASSERT_EQ(utf8, IconvEncode(scalars));
  ASSERT_EQ(Melvo::Utf8ToWString(utf8), scalars);

  std::wstring surrogates;
  for (char32_t c = 0xD800; c <= 0xDFFF; ++c) surrogates += static_cast<wchar_t>(c);
  ASSERT_EQ(Ours(&Melvo::WStringToUtf8, surrogates), FacetEncode(surrogates));
  ASSERT_EQ(Melvo::Utf8ToWString(Melvo::WStringToUtf8(surrogates)), surrogates);
}

TEST(Utf8, RandomInputLikeTheFacetAndIconv) {
  std::mt19937 rng(77);
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string bytes = RandomUtf8ish(rng);
    const auto ours = Ours(&Melvo::Utf8ToWString, bytes);
    ASSERT_EQ(ours, FacetDecode(bytes)) << Hex(bytes);
    // iconv refuses surrogate values, which the facet passes through; elsewhere they agree.
    if (!ours ||
        std::none_of(ours->begin(), ours->end(), [](wchar_t c) { return c >= 0xD800 && c <= 0xDFFF; })) {
      ASSERT_EQ(ours, IconvDecode(bytes)) << Hex(bytes);
    }
    accepted += ours.has_value();
  }
  EXPECT_TRUE(accepted > 2000 && accepted < 18000) << accepted;  // both outcomes well represented

  const std::uint32_t edges[] = {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF, 0x110000, 0xFFFFFFFF};
  for (int round = 0; round < 5000; ++round) {
    std::wstring wide;
    for (int i = rng() % 6; i > 0; --i) {
      const std::uint32_t c = rng() % 4 ? rng() % 0x110000 : edges[rng() % std::size(edges)];
      if (c < 0xD800 || c > 0xDFFF) wide += static_cast<wchar_t>(c);
    }
    const auto ours = Ours(&Melvo::WStringToUtf8, wide);
    ASSERT_EQ(ours, FacetEncode(wide));
    ASSERT_EQ(ours, IconvEncode(wide));
  }
}

}  // namespace
