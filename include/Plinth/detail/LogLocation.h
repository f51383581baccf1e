// The log location of code that the library compiles into its hosts (header templates), and the
// one entry by which such code writes through the library's own loggers.
//
// A header template runs in the host's binary, with the host's copy of spdlog or none at all, so it
// cannot use the library's registry directly. It formats its message itself and hands the text,
// the level and the location to WriteLogStatement, which looks the logger up by name in the
// library's registry exactly as the library's own statements do.
#pragma once

#include <Plinth/Export.h>

#include <cstddef>
#include <string>

// The compiler's name of the enclosing function, with return type and parameters; cut down to the
// qualified name by QualifiedFunctionName.
#if defined(_MSC_VER)
#define PLINTH_PRETTY_FUNCTION __FUNCSIG__
#else
#define PLINTH_PRETTY_FUNCTION __PRETTY_FUNCTION__
#endif

namespace Melvo::detail {

// Writes `text` at `level` (0 trace to 5 critical; other values write nothing) to the logger that
// the library binds to `loggerName`, with the source location `file`, `line`, `function`. The
// location strings must outlive the process's logging (string literals or static constants):
// asynchronous loggers keep the pointers until their worker writes the message.
PLINTH_API void WriteLogStatement(const std::string& loggerName, const char* file, int line,
                                  const char* function, int level, const std::string& text);

// A compile-time string cut out of a longer literal, sized like the literal it came from.
template <std::size_t N>
struct CompileTimeName {
  char text[N]{};
  constexpr const char* c_str() const { return text; }
};

template <std::size_t N>
constexpr CompileTimeName<N> Substring(const char (&source)[N], std::size_t begin, std::size_t end) {
  CompileTimeName<N> name;
  for (std::size_t i = begin; i < end; ++i) {
    name.text[i - begin] = source[i];
  }
  return name;
}

constexpr bool MatchesAt(const char* text, std::size_t length, std::size_t at, const char* word) {
  for (std::size_t i = 0; word[i] != '\0'; ++i) {
    if (at + i >= length || text[at + i] != word[i]) return false;
  }
  return true;
}

// "std::shared_ptr<X> Melvo::Q::F(size_t, bool) const [with T = int]" -> "Melvo::Q::F": the
// qualified name as the home platform's compiler spells it, without return type or signature.
template <std::size_t N>
constexpr CompileTimeName<N> QualifiedFunctionName(const char (&pretty)[N]) {
  std::size_t end = N - 1;
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (MatchesAt(pretty, N - 1, i, " [with ")) {
      end = i;
      break;
    }
  }
  // Drop trailing qualifiers, then the parameter list matching the last ')'.
  while (end > 0 && pretty[end - 1] != ')') --end;
  if (end == 0) return Substring(pretty, 0, N - 1);
  int depth = 0;
  std::size_t nameEnd = end;
  while (nameEnd > 0) {
    --nameEnd;
    if (pretty[nameEnd] == ')') ++depth;
    if (pretty[nameEnd] == '(' && --depth == 0) break;
  }
  // An operator's symbols, or a conversion's space, belong to the name: skip back over them.
  std::size_t scan = nameEnd;
  for (std::size_t i = nameEnd; i-- > 0 && pretty[i] != ':';) {
    if (MatchesAt(pretty, nameEnd, i, "operator") &&
        (i == 0 || pretty[i - 1] == ':' || pretty[i - 1] == ' ')) {
      scan = i;
      break;
    }
  }
  std::size_t begin = scan;
  depth = 0;
  while (begin > 0) {
    char c = pretty[begin - 1];
    if (c == '>' || c == ')') ++depth;
    if (c == '<' || c == '(') --depth;
    if (depth < 0 || (depth == 0 && c == ' ')) break;
    --begin;
  }
  return Substring(pretty, begin, nameEnd);
}

}  // namespace Melvo::detail
