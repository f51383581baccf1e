// `plinth`: checksums, all-or-nothing copies, WAVE file facts and version comparison from the
// command line, through the library's public API.
#include "Commands.h"
#include "CopyProgress.h"

#include <Plinth/Logging.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <CLI/CLI.hpp>

namespace {

// The library reports some failures (a file that is no WAVE file, say) only in its log: its errors
// go to standard error in the tool's own format, and its chatter stays out.
void StartLogging() {
  auto logger =
      std::make_shared<spdlog::logger>("vorn.Plinth", std::make_shared<spdlog::sinks::stderr_sink_mt>());
  logger->set_pattern("plinth: %v");
  logger->set_level(spdlog::level::err);
  PlinthTool::WithoutStopSignals([&logger] { InitLoggerPlinth({logger}, LoggerThreadPoolSettings{64, 1}); });
}

// A command line the tool cannot take: the problem and the usage of the command it got as far as go
// to standard error, with a status of their own, apart from the failures of the work itself.
int UsageError(CLI::App& app, const std::string& problem) {
  // The parse itself does not require a command, so that it reports a word it does not know as such
  // rather than as a missing command; the usage shows that one is required.
  app.require_subcommand(1);
  const CLI::App* command = &app;
  std::string name = "plinth";
  while (!command->get_subcommands().empty()) {
    command = command->get_subcommands().front();
    name += " " + command->get_name();
  }
  std::fprintf(stderr, "plinth: %s\n%s", problem.c_str(), CLI::Formatter().make_usage(command, name).c_str());
  return 2;
}

// Results that never reached standard output (a full disk) make a failure like any other. A status
// that tells of a failure or a stop already stands. The reason is the last flush's, else `error`,
// what an earlier write that failed is known to have left.
int FinishOutput(int status, int error = 0) {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  if (errno != 0) error = errno;
  std::fprintf(stderr, "plinth: cannot write to standard output%s%s\n", error != 0 ? ": " : "",
               error != 0 ? std::generic_category().message(error).c_str() : "");
  return status != 0 ? status : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Checksums, safe copies, WAVE file facts and version comparison.", "plinth"};
  // The library is the one the tool was built with: the two are one project, of one version.
  app.set_version_flag("--version",
                       "plinth " PLINTH_TOOL_VERSION "\nbuilt with the Plinth library " PLINTH_TOOL_VERSION);

  std::vector<std::string> files;
  CLI::App* crc32 = app.add_subcommand("crc32", "Print each file's CRC-32 and its name; - is standard input");
  crc32->add_option("FILE", files, "Files to checksum")->required();

  std::string source;
  std::string destination;
  bool verify = false;
  CLI::App* copy =
      app.add_subcommand("copy",
                         "Copy SOURCE over DEST; DEST is replaced only by a complete copy (Ctrl-C, "
                         "SIGTERM or SIGHUP leave it as it was)");
  copy->add_flag("--verify", verify, "Prove the copy by its CRC-32 before it replaces DEST");
  copy->add_option("SOURCE", source, "File to copy")->required();
  copy->add_option("DEST", destination, "Destination file")->required();

  std::string waveFile;
  CLI::App* wave = app.add_subcommand("wave", "WAVE files");
  wave->require_subcommand(1);
  CLI::App* waveInfo =
      wave->add_subcommand("info", "Print a WAVE file's format, encoding, rate, channels, sizes, duration");
  waveInfo->add_option("FILE", waveFile, "WAVE file")->required();

  std::string left;
  std::string right;
  CLI::App* version = app.add_subcommand("version", "Version texts");
  version->require_subcommand(1);
  CLI::App* compare = version->add_subcommand("compare", "Print <, = or > for the order of A and B");
  compare->add_option("A", left, "First version")->required();
  compare->add_option("B", right, "Second version")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end the parse too, successfully.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      // Printed and flushed at once.
      errno = 0;
      const int status = app.exit(e);
      return FinishOutput(status, errno);
    }
    return UsageError(app, e.what());
  }
  if (app.get_subcommands().empty()) return UsageError(app, "a command is required");

  StartLogging();
  int status = 0;
  if (*crc32) status = PlinthTool::Crc32(files);
  if (*copy) status = PlinthTool::Copy(source, destination, verify);
  if (*waveInfo) status = PlinthTool::WaveInfo(waveFile);
  if (*compare) status = PlinthTool::VersionCompare(left, right);
  return FinishOutput(status);
}
