// Version texts and their component-wise order.
#include <Plinth/Version.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace Melvo {

namespace {

std::vector<std::string_view> SplitComponents(std::string_view text) {
  std::vector<std::string_view> components;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find_first_of(".-", begin);
    if (end == std::string_view::npos) end = text.size();
    if (end > begin) components.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return components;
}

// Reads a leading 32-bit decimal number the way a stream extracts an int in the classic locale:
// blanks skipped, an optional '+', digits up to the first other character. Empty when no digit
// follows or the value does not fit. A component never holds a '-' (it separates components), so
// the number is never negative. Written out rather than using a stream so that a host's global
// locale (digit grouping, say) cannot change the order of versions.
std::optional<std::int32_t> ReadLeadingInt(std::string_view text) {
  std::size_t pos = text.find_first_not_of(" \t\n\v\f\r");
  if (pos != std::string_view::npos && text[pos] == '+') ++pos;
  if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return std::nullopt;

  std::int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = value * 10 + (text[pos] - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

bool IsLess(const std::string& left, const std::string& right) {
  const auto leftComponents = SplitComponents(left);
  const auto rightComponents = SplitComponents(right);
  const std::size_t common = std::min(leftComponents.size(), rightComponents.size());
  for (std::size_t i = 0; i < common; ++i) {
    const std::string_view a = leftComponents[i];
    const std::string_view b = rightComponents[i];
    const auto numberA = ReadLeadingInt(a);
    const auto numberB = ReadLeadingInt(b);
    if (numberA && numberB) {
      if (*numberA != *numberB) return *numberA < *numberB;
    } else if (a != b) {
      return a < b;
    }
  }
  if (leftComponents.size() != rightComponents.size()) return leftComponents.size() < rightComponents.size();
  return left < right;
}

}  // namespace

Version::Version(const std::string& text) : versionText(text) {}

Version::~Version() = default;

std::string Version::toString() const {
  return versionText;
}

bool Version::operator==(const Version& other) const {
  return versionText == other.versionText;
}
bool Version::operator!=(const Version& other) const {
  return versionText != other.versionText;
}
bool Version::operator<(const Version& other) const {
  return IsLess(versionText, other.versionText);
}
bool Version::operator<=(const Version& other) const {
  return *this == other || *this < other;
}
bool Version::operator>(const Version& other) const {
  return *this != other && !(*this < other);
}
bool Version::operator>=(const Version& other) const {
  return !(*this < other);
}

bool Version::operator==(const std::string& text) const {
  return *this == Version(text);
}
bool Version::operator!=(const std::string& text) const {
  return *this != Version(text);
}
bool Version::operator<(const std::string& text) const {
  return *this < Version(text);
}
bool Version::operator<=(const std::string& text) const {
  return *this <= Version(text);
}
bool Version::operator>(const std::string& text) const {
  return *this > Version(text);
}
bool Version::operator>=(const std::string& text) const {
  return *this >= Version(text);
}

}  // namespace Melvo
