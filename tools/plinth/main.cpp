// `plinth`: checksums, all-or-nothing copies, WAVE file facts and version comparison from the
// command line, through the library's public API.
#include "Commands.h"
#include "CopyProgress.h"

#include <Plinth/Logging.h>

#include <memory>
#include <string>
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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Checksums, safe copies, WAVE file facts and version comparison.", "plinth"};
  app.set_version_flag("--version", PLINTH_TOOL_VERSION);
  app.require_subcommand(1);
  int status = 0;

  std::vector<std::string> files;
  CLI::App* crc32 = app.add_subcommand("crc32", "Print each file's CRC-32 and its name");
  crc32->add_option("FILE", files, "Files to checksum")->required();
  crc32->callback([&] { status = PlinthTool::Crc32(files); });

  std::string source;
  std::string destination;
  bool verify = false;
  CLI::App* copy = app.add_subcommand("copy",
                                      "Copy SOURCE over DEST; DEST is replaced only by a complete copy "
                                      "(Ctrl-C, SIGTERM or SIGHUP leave it as it was)");
  copy->add_flag("--verify", verify, "Prove the copy by its CRC-32 before it replaces DEST");
  copy->add_option("SOURCE", source, "File to copy")->required();
  copy->add_option("DEST", destination, "Destination file")->required();
  copy->callback([&] { status = PlinthTool::Copy(source, destination, verify); });

  std::string waveFile;
  CLI::App* wave = app.add_subcommand("wave", "WAVE files");
  wave->require_subcommand(1);
  CLI::App* waveInfo =
      wave->add_subcommand("info", "Print a WAVE file's format, encoding, rate, channels, sizes, duration");
  waveInfo->add_option("FILE", waveFile, "WAVE file")->required();
  waveInfo->callback([&] { status = PlinthTool::WaveInfo(waveFile); });

  std::string left;
  std::string right;
  CLI::App* version = app.add_subcommand("version", "Version texts");
  version->require_subcommand(1);
  CLI::App* compare = version->add_subcommand("compare", "Print <, = or > for the order of A and B");
  compare->add_option("A", left, "First version")->required();
  compare->add_option("B", right, "Second version")->required();
  compare->callback([&] { status = PlinthTool::VersionCompare(left, right); });

  StartLogging();
  CLI11_PARSE(app, argc, argv);
  return status;
}
