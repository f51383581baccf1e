/// \file
/// A version text such as "2.10.3" or "1.0.0-beta", ordered the way people read versions.
///
/// Comparisons of the example host's version:
/// \snippet demo_host.cpp Version
#pragma once

#include <Plinth/Export.h>

#include <string>

namespace Melvo {

/// Holds the text exactly as given; any text, the empty one included, is a valid version.
///
/// Equality is equality of the texts. The order cuts both texts into components at every "." and
/// "-" (dropping empty pieces) and compares them pair by pair: two components that both start with
/// a number that fits 32 bits (read like `int` from a stream: leading blanks, optional sign,
/// digits, the rest ignored) compare by that number, any other pair compares as bytes. The first
/// unequal pair decides; otherwise the version with more components is the greater, and when the
/// components tie all the way ("1.02" and "1.2"), the texts compare as bytes. So 1.9 < 1.10,
/// 1.2 < 1.2.0, 1.0.0 < 1.0.0-rc1 and 1.02 < 1.2.
///
/// This is a strict total order over versions whose components are either numbers that fit 32 bits
/// (optionally followed by other characters, as in "3rc1") or words that begin with a letter. A
/// component that fails the numeric read yet sorts among the numbers as bytes, such as a number too
/// large for 32 bits, can make it intransitive: of "2", "10" and "19999999999" each is less than
/// the next and the last is less than the first.
class PLINTH_API Version {
 public:
  /// Not explicit: a version is its text, and hosts pass text where a version is expected.
  Version(const std::string& text);
  ///@{
  /// Copies and moves carry the text.
  Version(const Version&) = default;
  Version(Version&&) = default;
  Version& operator=(const Version&) = default;
  Version& operator=(Version&&) = default;
  ///@}
  virtual ~Version();

  /// The text as given.
  std::string toString() const;

  ///@{
  /// Equality of the texts; the order described above.
  bool operator==(const Version& other) const;
  bool operator!=(const Version& other) const;
  bool operator<(const Version& other) const;
  bool operator<=(const Version& other) const;
  bool operator>(const Version& other) const;
  bool operator>=(const Version& other) const;
  ///@}

  ///@{
  /// The same comparisons with a version built from `text`.
  bool operator==(const std::string& text) const;
  bool operator!=(const std::string& text) const;
  bool operator<(const std::string& text) const;
  bool operator<=(const std::string& text) const;
  bool operator>(const std::string& text) const;
  bool operator>=(const std::string& text) const;
  ///@}

 private:
  std::string versionText;
};

}  // namespace Melvo
