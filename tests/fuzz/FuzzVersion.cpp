// Version comparisons over three fuzzer-made versions: every operator agrees with operator< and
// the equality of the texts, no version is less than itself, of two different texts exactly one
// is the lesser, and the order is transitive wherever it is meant to be: when every component is
// a number that fits 32 bits (possibly followed by other characters) or a word that begins with a
// letter.
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/Version.h>

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool ComponentIsOrdered(const std::string& component) {
  if (IsLetter(component[0])) return true;
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (; i < component.size() && IsDigit(component[i]); ++i) {
    value = value * 10 + static_cast<std::uint64_t>(component[i] - '0');
    if (value > 0x7FFFFFFF) return false;
  }
  return i != 0;
}

bool IsOrdered(const std::string& text) {
  std::string component;
  for (const char c : text + ".") {
    if (c != '.' && c != '-') {
      component += c;
    } else if (!component.empty()) {
      if (!ComponentIsOrdered(component)) return false;
      component.clear();
    }
  }
  return true;
}

void CheckPair(const Melvo::Version& a, const Melvo::Version& b) {
  const bool less = a < b;
  const bool greater = b < a;
  const bool sameText = a.toString() == b.toString();
  if (less && greater) std::abort();
  if (sameText != (!less && !greater)) std::abort();
  if ((a == b) != sameText || (a != b) == sameText) std::abort();
  if ((a > b) != greater || (a <= b) != !greater || (a >= b) != !less) std::abort();
  // The same comparisons with the right-hand side given as text.
  const std::string text = b.toString();
  if ((a == text) != sameText || (a != text) == sameText || (a < text) != less || (a > text) != greater ||
      (a <= text) != !greater || (a >= text) != !less) {
    std::abort();
  }
}

// Mostly texts of digits, letters and separators, so that the order's rules are reached; now
// and then any bytes.
std::string MakeText(FuzzedDataProvider& input) {
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 24);
  if (input.ConsumeBool()) return input.ConsumeBytesAsString(length);
  static constexpr char kAlphabet[] = "0123456789..--abrcZ 0+";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text += kAlphabet[input.ConsumeIntegralInRange<std::size_t>(0, sizeof kAlphabet - 2)];
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::array<Melvo::Version, 3> versions{MakeText(input), MakeText(input), MakeText(input)};
  for (const Melvo::Version& a : versions) {
    if (a < a || !(a == a) || !(a <= a) || !(a >= a)) std::abort();
    for (const Melvo::Version& b : versions) CheckPair(a, b);
  }
  bool ordered = true;
  for (const Melvo::Version& v : versions) ordered = ordered && IsOrdered(v.toString());
  if (!ordered) return 0;
  for (const Melvo::Version& a : versions) {
    for (const Melvo::Version& b : versions) {
      for (const Melvo::Version& c : versions) {
        if (a < b && b < c && !(a < c)) std::abort();
      }
    }
  }
  return 0;
}
