// ParseDelimited, narrow and wide: with duplicates kept, the tokens joined by the delimiter give
// the text back (the delimiter matched ignoring case when asked, the tokens in the caller's case),
// and no token holds the delimiter; without, the result is the same list with later copies of a
// non-empty token dropped.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/StringUtils.h>

namespace {

template <typename Char>
std::basic_string<Char> Folded(std::basic_string<Char> text, bool ignoreCase) {
  for (Char& c : text) {
    if (!ignoreCase) break;
    if constexpr (sizeof(Char) == 1) {
      c = static_cast<Char>(std::tolower(static_cast<unsigned char>(c)));
    } else {
      c = static_cast<Char>(std::towlower(static_cast<std::wint_t>(c)));
    }
  }
  return text;
}

template <typename Char>
void Check(const std::basic_string<Char>& text, const std::basic_string<Char>& delimiter, bool ignoreCase) {
  using String = std::basic_string<Char>;
  std::vector<String> tokens;
  Melvo::ParseDelimited(text, delimiter, tokens, true, ignoreCase);

  const String haystack = Folded(text, ignoreCase);
  const String needle = Folded(delimiter, ignoreCase);
  if (text.empty() || text.size() < delimiter.size() || haystack == needle) {
    if (!tokens.empty()) std::abort();
    return;
  }
  if (needle.empty() || haystack.find(needle) == String::npos) {
    if (tokens != std::vector<String>{text}) std::abort();
    return;
  }

  // Re-joined with the delimiter, the tokens give the text back, and none holds the delimiter.
  std::size_t position = 0;
  for (std::size_t i = 0; i < tokens.size(); position += tokens[i++].size() + needle.size()) {
    if (text.compare(position, tokens[i].size(), tokens[i]) != 0 ||
        Folded(tokens[i], ignoreCase).find(needle) != String::npos ||
        (i + 1 < tokens.size() && haystack.compare(position + tokens[i].size(), needle.size(), needle) != 0))
      std::abort();
  }
  if (tokens.size() < 2 || position != text.size() + needle.size()) std::abort();

  std::vector<String> expected;
  std::set<String> seen;
  for (const String& token : tokens) {
    if (token.empty() || seen.insert(Folded(token, ignoreCase)).second) expected.push_back(token);
  }
  std::vector<String> distinct{String(1, Char('x'))};  // stale contents must be cleared
  Melvo::ParseDelimited(text, delimiter, distinct, false, ignoreCase);
  if (distinct != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool wide = input.ConsumeBool();
  const bool ignoreCase = input.ConsumeBool();
  const std::size_t delimiterLength = input.ConsumeIntegralInRange<std::size_t>(0, 4);
  if (wide) {
    std::wstring delimiter;
    std::wstring text;
    while (input.remaining_bytes() != 0) {
      const auto c = static_cast<wchar_t>(input.ConsumeIntegralInRange<std::uint16_t>(0, 0x7FF));
      (delimiter.size() < delimiterLength ? delimiter : text).push_back(c);
    }
    Check(text, delimiter, ignoreCase);
  } else {
    const std::string delimiter = input.ConsumeBytesAsString(delimiterLength);
    Check(input.ConsumeRemainingBytesAsString(), delimiter, ignoreCase);
  }
  return 0;
}
