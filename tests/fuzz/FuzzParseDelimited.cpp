// ParseDelimited (one template serves narrow and wide text): with duplicates kept, the tokens
// re-joined by the delimiter give the text back (the delimiter matched ignoring case when asked,
// the tokens in the caller's case) and none holds the delimiter; without, the same list less the
// later copies of a non-empty token.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/StringUtils.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool ignoreCase = input.ConsumeBool();
  const std::string delimiter = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<std::size_t>(0, 4));
  const std::string text = input.ConsumeRemainingBytesAsString();
  const auto folded = [ignoreCase](std::string s) {
    for (char& c : s) c = ignoreCase ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
    return s;
  };
  const std::string haystack = folded(text), needle = folded(delimiter);
  std::vector<std::string> tokens;
  Melvo::ParseDelimited(text, delimiter, tokens, true, ignoreCase);
  if (text.empty() || text.size() < delimiter.size() || haystack == needle) {
    if (!tokens.empty()) std::abort();
    return 0;
  }
  if (needle.empty() || haystack.find(needle) == std::string::npos) {
    if (tokens != std::vector<std::string>{text}) std::abort();
    return 0;
  }
  std::size_t position = 0;
  std::vector<std::string> distinct;
  std::set<std::string> seen;
  for (std::size_t i = 0; i < tokens.size(); position += tokens[i++].size() + needle.size()) {
    if (text.compare(position, tokens[i].size(), tokens[i]) != 0 ||
        folded(tokens[i]).find(needle) != std::string::npos ||
        (i + 1 < tokens.size() && haystack.compare(position + tokens[i].size(), needle.size(), needle) != 0))
      std::abort();
    if (tokens[i].empty() || seen.insert(folded(tokens[i])).second) distinct.push_back(tokens[i]);
  }
  if (tokens.size() < 2 || position != text.size() + needle.size()) std::abort();
  tokens.assign(1, "stale");  // earlier contents must be cleared
  Melvo::ParseDelimited(text, delimiter, tokens, false, ignoreCase);
  if (tokens != distinct) std::abort();
  return 0;
}
