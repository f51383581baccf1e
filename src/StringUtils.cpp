// String conversions, case-insensitive comparison, splitting and UTF-8 conversion.
#include <Plinth/StringUtils.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

namespace Melvo {

namespace {

char UpperChar(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}
char LowerChar(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
wchar_t UpperChar(wchar_t c) {
  return static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
}
wchar_t LowerChar(wchar_t c) {
  return static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
}

template <typename Char>
std::basic_string<Char> Uppered(std::basic_string<Char> text) {
  for (Char& c : text) c = UpperChar(c);
  return text;
}

template <typename Char>
std::basic_string<Char> Lowered(std::basic_string<Char> text) {
  for (Char& c : text) c = LowerChar(c);
  return text;
}

int CStringCompare(const char* a, const char* b) {
  return std::strcmp(a, b);
}
int CStringCompare(const wchar_t* a, const wchar_t* b) {
  return std::wcscmp(a, b);
}
int CStringCompare(const char* a, const char* b, std::size_t n) {
  return std::strncmp(a, b, n);
}
int CStringCompare(const wchar_t* a, const wchar_t* b, std::size_t n) {
  return std::wcsncmp(a, b, n);
}

template <typename Char>
int DoStringCaseCompare(const std::basic_string<Char>& a, const std::basic_string<Char>& b) {
  const auto upperA = Uppered(a);
  const auto upperB = Uppered(b);
  if (upperA.empty()) return upperB.empty() ? 0 : -1;
  if (upperB.empty()) return 1;
  // The comparison stops at the first NUL, as for C strings; callers rely on that.
  const int order = CStringCompare(upperA.c_str(), upperB.c_str());
  return (order > 0) - (order < 0);
}

template <typename Char>
int DoStringCaseCompare(const std::basic_string<Char>& a, const std::basic_string<Char>& b,
                        std::uint64_t count) {
  if (count == 0) return 0;
  const auto upperA = Uppered(a);
  const auto upperB = Uppered(b);
  if (upperA.empty()) return upperB.empty() ? 0 : -1;
  if (upperB.empty()) return 1;
  const std::uint64_t limit = std::min<std::uint64_t>({count, upperA.size(), upperB.size()});
  return CStringCompare(upperA.c_str(), upperB.c_str(), static_cast<std::size_t>(limit));
}

template <typename Char>
bool DoEndsWith(const std::basic_string<Char>& text, const std::basic_string<Char>& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

template <typename Char>
void DoParseDelimited(const std::basic_string<Char>& text, const std::basic_string<Char>& delimiter,
                      std::vector<std::basic_string<Char>>& tokens, bool keepDuplicates, bool ignoreCase) {
  using View = std::basic_string_view<Char>;
  tokens.clear();
  if (text.empty() || text.size() < delimiter.size()) return;

  // Searching happens in lower-cased copies when case is ignored; the case change maps character
  // to character, so positions found there are positions in the caller's text.
  std::basic_string<Char> loweredText;
  std::basic_string<Char> loweredDelimiter;
  if (ignoreCase) {
    loweredText = Lowered(text);
    loweredDelimiter = Lowered(delimiter);
  }
  const View haystack = ignoreCase ? View(loweredText) : View(text);
  const View needle = ignoreCase ? View(loweredDelimiter) : View(delimiter);

  if (haystack == needle) return;
  std::size_t found = needle.empty() ? View::npos : haystack.find(needle);
  if (found == View::npos) {
    tokens.push_back(text);
    return;
  }

  // Search forms of the tokens kept so far; they point into `haystack`, which outlives the set.
  std::unordered_set<View> seen;
  const auto addToken = [&](std::size_t begin, std::size_t end) {
    if (begin == end) {
      tokens.emplace_back();
      return;
    }
    if (!keepDuplicates && !seen.insert(haystack.substr(begin, end - begin)).second) return;
    tokens.emplace_back(text, begin, end - begin);
  };

  std::size_t pos = 0;
  while (found != View::npos) {
    addToken(pos, found);
    pos = found + needle.size();
    found = haystack.find(needle, pos);
  }
  addToken(pos, text.size());
}

[[noreturn]] void ThrowBadConversion() {
  throw std::range_error("bad conversion");
}

constexpr char32_t kMaxCodePoint = 0x10FFFF;
// The largest value one wide character holds: where wchar_t has 16 bits, as on Windows, the
// standard facet converts UCS-2 and rejects what lies beyond it.
constexpr char32_t kMaxWideValue = sizeof(wchar_t) == 2 ? 0xFFFF : kMaxCodePoint;

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Decodes the sequence at `pos` and advances past it. Surrogate values are accepted like any
// other; overlong forms show in the first two bytes. The caller refuses values too large for a
// wide character, among them those past U+10FFFF that a lead byte F4 may start.
char32_t DecodeOne(const std::string& text, std::size_t& pos) {
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byteAt(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  // Continuation bytes, the overlong lead bytes C0 and C1, and lead bytes past F4 start nothing.
  if (lead < 0xC2 || lead > 0xF4) ThrowBadConversion();
  const std::size_t length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  const unsigned char secondMin = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  // A sequence cut short meets the string's terminating NUL, which is no continuation byte.
  if (byteAt(pos + 1) < secondMin) ThrowBadConversion();
  char32_t value = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char byte = byteAt(pos + i);
    if (!IsContinuation(byte)) ThrowBadConversion();
    value = (value << 6) | (byte & 0x3F);
  }
  pos += length;
  return value;
}

// Appends the shortest form of `value`, which the caller has checked to be at most U+10FFFF.
void EncodeOne(char32_t value, std::string& out) {
  if (value < 0x80) {
    out += static_cast<char>(value);
  } else if (value < 0x800) {
    out += static_cast<char>(0xC0 | (value >> 6));
    out += static_cast<char>(0x80 | (value & 0x3F));
  } else if (value < 0x10000) {
    out += static_cast<char>(0xE0 | (value >> 12));
    out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (value & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (value >> 18));
    out += static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (value & 0x3F));
  }
}

}  // namespace

template <>
bool FromString<bool>(const std::string& text, const bool& /*defaultValue*/) {
  // Only the part before the first NUL counts, as if the text had passed through a C string.
  return StringCaseCompare(std::string(text.c_str()), std::string("true")) == 0;
}

template <>
bool FromWString<bool>(const std::wstring& text, const bool& /*defaultValue*/) {
  return StringCaseCompare(std::wstring(text.c_str()), std::wstring(L"true")) == 0;
}

// std::to_string always gives plain digits, whatever the global C++ locale may be.
template <>
std::string ToString<unsigned short>(const unsigned short& value) {
  return std::to_string(static_cast<int>(value));
}

template <>
std::string ToString<bool>(const bool& value) {
  return value ? "true" : "false";
}

template <>
std::string ToString<std::wstring>(const std::wstring& value) {
  return WStringToUtf8(value);
}

template <>
std::wstring ToWString<unsigned short>(const unsigned short& value) {
  return std::to_wstring(static_cast<int>(value));
}

template <>
std::wstring ToWString<bool>(const bool& value) {
  return value ? L"true" : L"false";
}

template <>
std::wstring ToWString<std::string>(const std::string& value) {
  return Utf8ToWString(value);
}

int StringCaseCompare(const std::string& a, const std::string& b) {
  return DoStringCaseCompare(a, b);
}

int StringCaseCompare(const std::wstring& a, const std::wstring& b) {
  return DoStringCaseCompare(a, b);
}

int StringCaseCompare(const std::string& a, const std::string& b, std::uint64_t count) {
  return DoStringCaseCompare(a, b, count);
}

int StringCaseCompare(const std::wstring& a, const std::wstring& b, std::uint64_t count) {
  return DoStringCaseCompare(a, b, count);
}

void ToLower(std::string& text) {
  for (char& c : text) c = LowerChar(c);
}

void ToUpper(std::string& text) {
  for (char& c : text) c = UpperChar(c);
}

std::string ToLowercase(const std::string& text) {
  return Lowered(text);
}

std::string ToUppercase(const std::string& text) {
  return Uppered(text);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return DoEndsWith(text, suffix);
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return DoEndsWith(text, suffix);
}

void ParseDelimited(const std::string& text, const std::string& delimiter, std::vector<std::string>& tokens,
                    bool keepDuplicates, bool ignoreCase) {
  DoParseDelimited(text, delimiter, tokens, keepDuplicates, ignoreCase);
}

void ParseDelimited(const std::wstring& text, const std::wstring& delimiter,
                    std::vector<std::wstring>& tokens, bool keepDuplicates, bool ignoreCase) {
  DoParseDelimited(text, delimiter, tokens, keepDuplicates, ignoreCase);
}

std::wstring Utf8ToWString(const std::string& text) {
  std::wstring result;
  result.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t value = DecodeOne(text, pos);
    if (value > kMaxWideValue) ThrowBadConversion();
    result += static_cast<wchar_t>(value);
  }
  return result;
}

std::string WStringToUtf8(const std::wstring& text) {
  std::string result;
  result.reserve(text.size());
  for (const wchar_t c : text) {
    // A negative wide character converts to a value far beyond any code point and is rejected.
    const auto value = static_cast<char32_t>(c);
    if (value > kMaxWideValue) ThrowBadConversion();
    EncodeOne(value, result);
  }
  return result;
}

}  // namespace Melvo
