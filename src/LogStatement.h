// How the library writes a log statement: the module's logger looked up by name, a level, the
// source location ("src/Buffer", line, "Melvo::Buffer::SetReservedSize") and an fmt template.
//
//   const detail::LogChannel kLog{"vorn.Plinth.Buffer"};
//   PLINTH_LOG(kLog, spdlog::level::info, "No need to resize. {} is already the size of the buffer.", n);
//
// A LogChannel remembers the logger its name was bound to on first use, so a statement whose
// level is disabled costs two atomic loads and no lock or reference-count traffic; the binding
// itself is GetLogger's and never changes. Code whose logger name is only known at run time passes
// a std::string instead and looks the name up at every statement.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include <Plinth/detail/LogLocation.h>
#include <spdlog/logger.h>

// The compiler's name of the enclosing function, with return type and parameters; cut down to the
// qualified name by QualifiedFunctionName.
#if defined(_MSC_VER)
#define PLINTH_PRETTY_FUNCTION __FUNCSIG__
#else
#define PLINTH_PRETTY_FUNCTION __PRETTY_FUNCTION__
#endif

namespace Melvo::detail {

// The logger bound to `name`: the registered logger of that name, else a clone of the nearest
// registered dotted parent, else the registry's default logger, switched off. Bound once, for good.
std::shared_ptr<spdlog::logger> GetLogger(const std::string& name);

class LogChannel {
 public:
  constexpr explicit LogChannel(const char* name) : name_(name) {}
  LogChannel(const LogChannel&) = delete;
  LogChannel& operator=(const LogChannel&) = delete;

  // The bound logger; the cache that bound it keeps it alive until the library is unloaded.
  spdlog::logger& Logger() const {
    spdlog::logger* bound = bound_.load(std::memory_order_acquire);
    return bound != nullptr ? *bound : Bind();
  }

 private:
  spdlog::logger& Bind() const;

  const char* name_;
  mutable std::atomic<spdlog::logger*> bound_{nullptr};
};

template <typename... Args>
void Log(const LogChannel& channel, const spdlog::source_loc& where, spdlog::level::level_enum level,
         fmt::format_string<Args...> format, Args&&... args) {
  spdlog::logger& logger = channel.Logger();
  if (logger.should_log(level)) {
    logger.log(where, level, format, std::forward<Args>(args)...);
  }
}

template <typename... Args>
void Log(const std::string& loggerName, const spdlog::source_loc& where, spdlog::level::level_enum level,
         fmt::format_string<Args...> format, Args&&... args) {
  GetLogger(loggerName)->log(where, level, format, std::forward<Args>(args)...);
}

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

// "std::shared_ptr<X> Melvo::Q::F(std::size_t, bool)" -> "Melvo::Q::F": the word before the parameter
// list. The library's statements stand in plain functions, whose names hold no space or parenthesis.
template <std::size_t N>
constexpr CompileTimeName<N> QualifiedFunctionName(const char (&pretty)[N]) {
  std::size_t end = 0;
  while (end + 1 < N && pretty[end] != '(') ++end;
  std::size_t begin = end;
  while (begin > 0 && pretty[begin - 1] != ' ') --begin;
  return Substring(pretty, begin, end);
}

// "src/platform/linux/PlatformPaths.cpp" -> "src/platform/linux/PlatformPaths". The build writes
// source paths relative to the project root, so only the extension goes.
template <std::size_t N>
constexpr CompileTimeName<N> SourceFileName(const char (&path)[N]) {
  std::size_t end = N - 1;
  for (std::size_t i = N - 1; i-- > 0;) {
    if (path[i] == '/') break;
    if (path[i] == '.') {
      end = i;
      break;
    }
  }
  return Substring(path, 0, end);
}

}  // namespace Melvo::detail

// Writes one log statement with the caller's source location. `channel` is a LogChannel or a
// logger name; the rest is an spdlog level and a compile-checked fmt template with its values.
#define PLINTH_LOG(channel, level, ...)                                                                    \
  do {                                                                                                     \
    static constexpr auto plinthFunction = ::Melvo::detail::QualifiedFunctionName(PLINTH_PRETTY_FUNCTION); \
    PLINTH_LOG_AS(plinthFunction.c_str(), channel, level, __VA_ARGS__);                                    \
  } while (false)

// The same in the name of `function` (a string that outlives logging), for a step that several
// operations share and whose messages each of them answers for.
#define PLINTH_LOG_AS(function, channel, level, ...)                                                         \
  do {                                                                                                       \
    static constexpr auto plinthFile = ::Melvo::detail::SourceFileName(__FILE__);                            \
    ::Melvo::detail::Log((channel), ::spdlog::source_loc{plinthFile.c_str(), __LINE__, (function)}, (level), \
                         __VA_ARGS__);                                                                       \
  } while (false)
