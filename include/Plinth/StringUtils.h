/// \file
/// Small text chores for hosts and the library itself: values to and from text, case-insensitive
/// comparison, case change, suffix test, delimited-text splitting and UTF-8 conversion.
///
/// Every function is stateless and safe to call from any number of threads on distinct arguments.
/// Case handling goes through the C library's per-character functions (tolower/toupper for narrow
/// text, towlower/towupper for wide text) and so follows the process's current C locale; in the
/// default "C" locale only the ASCII letters change.
///
/// Settings read from text, in the example host:
/// \snippet demo_host.cpp StringUtils
#pragma once

#include <Plinth/Export.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Melvo {

// Value conversions. Only the specialisations declared below exist: asking for any other type
// fails at link time rather than giving a silently wrong answer.

///@{
/// True exactly when `text`, up to its first NUL, equals "true" ignoring case ("TRUE", "True").
/// `defaultValue` is accepted for interface compatibility and has no effect. Only `bool` exists.
template <typename T>
T FromString(const std::string& text, const T& defaultValue);
template <typename T>
T FromWString(const std::wstring& text, const T& defaultValue);

template <>
PLINTH_API bool FromString<bool>(const std::string& text, const bool& defaultValue);
template <>
PLINTH_API bool FromWString<bool>(const std::wstring& text, const bool& defaultValue);
///@}

///@{
/// Plain decimal digits ("0", "65535"), "true"/"false" for bool, and UTF-8 conversion between
/// narrow and wide strings (see WStringToUtf8 and Utf8ToWString). Only the types declared here exist.
template <typename T>
std::string ToString(const T& value);
template <typename T>
std::wstring ToWString(const T& value);

template <>
PLINTH_API std::string ToString<unsigned short>(const unsigned short& value);
template <>
PLINTH_API std::string ToString<bool>(const bool& value);
template <>
PLINTH_API std::string ToString<std::wstring>(const std::wstring& value);
template <>
PLINTH_API std::wstring ToWString<unsigned short>(const unsigned short& value);
template <>
PLINTH_API std::wstring ToWString<bool>(const bool& value);
template <>
PLINTH_API std::wstring ToWString<std::string>(const std::string& value);
///@}

///@{
/// Case-insensitive three-way comparison: -1, 0 or 1 as `a` sorts before, equal to or after `b`.
/// Both sides are upper-cased, then compared as C strings (unsigned, stopping at an embedded NUL).
/// An empty side sorts before any non-empty one.
PLINTH_API int StringCaseCompare(const std::string& a, const std::string& b);
PLINTH_API int StringCaseCompare(const std::wstring& a, const std::wstring& b);
///@}

///@{
/// Case-insensitive comparison of at most min(count, a.size(), b.size()) characters: only the
/// sign of the result is meaningful. Because the limit never exceeds the shorter length, a string
/// equals every longer string that begins with it ("abc" vs "ABCD", count 10, gives 0). A count of
/// 0 gives 0; otherwise an empty side sorts before a non-empty one.
PLINTH_API int StringCaseCompare(const std::string& a, const std::string& b, std::uint64_t count);
PLINTH_API int StringCaseCompare(const std::wstring& a, const std::wstring& b, std::uint64_t count);
///@}

///@{
/// Case change in place, and into a copy.
PLINTH_API void ToLower(std::string& text);
PLINTH_API void ToUpper(std::string& text);
PLINTH_API std::string ToLowercase(const std::string& text);
PLINTH_API std::string ToUppercase(const std::string& text);
///@}

///@{
/// True when `text` ends with `suffix`, case-sensitively. An empty suffix ends every text.
PLINTH_API bool EndsWith(const std::string& text, const std::string& suffix);
PLINTH_API bool EndsWith(const std::wstring& text, const std::wstring& suffix);
///@}

///@{
/// Splits `text` at every occurrence of `delimiter` into `tokens`, which is cleared first.
///
/// - An empty text, a text shorter than the delimiter, and a text equal to the delimiter give no
///   tokens at all; an empty delimiter, or one that does not occur, gives the whole text as the
///   only token.
/// - Otherwise a leading delimiter gives a leading empty token, adjacent delimiters an empty token
///   between them, and a trailing delimiter a trailing empty token.
/// - With `ignoreCase`, the delimiter is matched ignoring case (through tolower/towlower) in the
///   split and in the early tests above alike, so "aXb" split at "x" gives "a" and "b"; tokens
///   always keep the caller's own case.
/// - Without `keepDuplicates`, a non-empty token equal to an earlier one (ignoring case when
///   `ignoreCase` is set) is dropped, so only its first occurrence stays. Empty tokens are never
///   dropped.
PLINTH_API void ParseDelimited(const std::string& text, const std::string& delimiter,
                               std::vector<std::string>& tokens, bool keepDuplicates, bool ignoreCase);
PLINTH_API void ParseDelimited(const std::wstring& text, const std::wstring& delimiter,
                               std::vector<std::wstring>& tokens, bool keepDuplicates, bool ignoreCase);
///@}

///@{
/// UTF-8 conversion with the behaviour of the standard codecvt_utf8<wchar_t> facet. A wide string
/// holds one wchar_t per code point; where wchar_t has 16 bits, as on Windows, values above U+FFFF
/// are rejected as the facet rejects them. No byte-order mark is read or written, so U+FEFF
/// converts like any other character.
///
/// Decoding accepts every sequence of the shortest form for a value up to U+10FFFF, the surrogate
/// values U+D800 to U+DFFF included: the facet passes them through as single wide characters and
/// never pairs them. It rejects a continuation byte (0x80 to 0xBF) where a sequence must start, the
/// overlong lead bytes 0xC0 and 0xC1, the overlong forms E0 80..9F and F0 80..8F, values above
/// U+10FFFF (F4 90 and up, F5 to FF), and a lead byte without enough continuation bytes. A
/// sequence cut off by the end of the text, which the facet reports as a partial result, is
/// rejected too: the text cannot be converted completely.
///
/// Encoding writes each wide character as a 1- to 4-byte sequence, surrogate values as their
/// 3-byte form; a value above U+10FFFF (or negative) is rejected.
///
/// Both throw std::range_error with the message "bad conversion" on input they reject; nothing is
/// returned partially.
PLINTH_API std::wstring Utf8ToWString(const std::string& text);
PLINTH_API std::string WStringToUtf8(const std::wstring& text);
///@}

}  // namespace Melvo
