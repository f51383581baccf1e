// Version comparisons over three fuzzer-made versions: every operator agrees with operator< and with the
// equality of the texts; of two different texts exactly one is the lesser; and the order is transitive
// wherever it is meant to be: when every component is a word that begins with a letter or a number that fits
// 31 bits, possibly followed by other characters.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/Version.h>

namespace {

bool IsOrdered(const std::string& text) {
  for (std::size_t begin = 0; begin <= text.size();) {
    const std::size_t end = std::min(text.find_first_of(".-", begin), text.size());
    const std::string component = text.substr(begin, end - begin);
    begin = end + 1;
    if (component.empty() || std::isalpha(static_cast<unsigned char>(component[0]))) continue;
    const std::size_t digits = std::min(component.find_first_not_of("0123456789"), component.size());
    if (digits == 0 || digits > 10 || std::stoull(component.substr(0, digits)) > 0x7FFFFFFF) return false;
  }
  return true;
}

void CheckPair(const Melvo::Version& a, const Melvo::Version& b) {
  const bool less = a < b;
  const bool greater = b < a;
  const bool same = a.toString() == b.toString();
  if ((less && greater) || same != (!less && !greater)) std::abort();
  if ((a == b) != same || (a != b) == same || (a > b) != greater || (a <= b) == greater || (a >= b) == less)
    std::abort();
}

// Mostly texts of digits, letters and separators, so that the order's rules are reached; now and
// then any bytes.
std::string MakeText(FuzzedDataProvider& input) {
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 24);
  if (input.ConsumeBool()) return input.ConsumeBytesAsString(length);
  static constexpr char kAlphabet[] = "0123456789..--abrcZ 0+";
  std::string text;
  for (std::size_t i = 0; i < length; ++i)
    text += kAlphabet[input.ConsumeIntegralInRange<std::size_t>(0, sizeof kAlphabet - 2)];
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::array<Melvo::Version, 3> versions{MakeText(input), MakeText(input), MakeText(input)};
  bool ordered = true;
  for (const Melvo::Version& a : versions) {
    ordered = ordered && IsOrdered(a.toString());
    for (const Melvo::Version& b : versions) CheckPair(a, b);
  }
  for (const Melvo::Version& a : versions) {
    for (const Melvo::Version& b : versions) {
      for (const Melvo::Version& c : versions) {
        if (ordered && a < b && b < c && !(a < c)) std::abort();
      }
    }
  }
  return 0;
}
