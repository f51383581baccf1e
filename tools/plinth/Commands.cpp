#include "Commands.h"

#include "CopyProgress.h"

#include <Plinth/FileIntegrity.h>
#include <Plinth/Version.h>
#include <Plinth/WaveFileBuffer.h>

#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace PlinthTool {

namespace {

// A progress line is drawn only for a person watching, never into a file or a pipe.
bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

void ReportFailure(const std::string& message) {
  std::fprintf(stderr, "plinth: %s\n", message.c_str());
}

void PrintChecksum(std::uint32_t checksum, const std::string& name) {
  std::printf("%08x  %s\n", static_cast<unsigned>(checksum), name.c_str());
}

}  // namespace

int Crc32(const std::vector<std::string>& files) {
  int status = 0;
  for (const std::string& file : files) {
    std::uint32_t checksum = 0;
    std::string error;
    if (Melvo::ComputeCRC32Checksum(file, checksum, error, {})) {
      PrintChecksum(checksum, file);
    } else {
      ReportFailure(error);
      status = 1;
    }
  }
  return status;
}

int Copy(const std::string& source, const std::string& destination, bool verify) {
  CopyProgress progress(IsTerminal(stderr));
  progress.CatchInterrupt();
  const auto report = [&progress](const Melvo::FileProgress& now) { return progress.Report(now); };

  std::string error;
  std::uint32_t checksum = 0;
  bool copied = !verify || Melvo::ComputeCRC32ChecksumWithProgress(source, checksum, error, report);
  if (copied) {
    copied = verify ? Melvo::FileCopyWithCRC32WithProgress(source, destination, checksum, error, report)
                    : Melvo::FileCopyWithProgress(source, destination, error, report);
  }
  progress.Finish(copied);
  if (!copied) {
    // The library leaves the message alone when the copy's size differs from the source's.
    ReportFailure(error.empty() ? "the copy of " + source + " came out at a different size" : error);
    return CopyProgress::Interrupted() ? kInterruptedStatus : 1;
  }
  if (verify) PrintChecksum(checksum, destination);
  return 0;
}

int WaveInfo(const std::string& file) {
  Melvo::WaveFileBuffer wave(file, true);
  Melvo::WaveFileBuffer::WaveFileParams params;
  // The library logs why it refuses a file; the tool's logger shows that on standard error.
  if (!wave.Load() || !wave.GetWaveFileParams(params)) return 1;
  std::printf("format: RIFF/WAVE\n");
  std::printf("sample rate: %u Hz\n", static_cast<unsigned>(params.sampleRate));
  std::printf("channels: %d\n", params.numChannels);
  std::printf("bits per sample: %d\n", params.bitsPerSample);
  std::printf("file size: %lld bytes\n", static_cast<long long>(wave.GetFileSize()));
  std::printf("audio data size: %lld bytes\n", static_cast<long long>(wave.GetAudioDataSize()));
  std::printf("duration: %.3f s\n", wave.GetDecimalSecondsInFile());
  return 0;
}

int VersionCompare(const std::string& left, const std::string& right) {
  const Melvo::Version version(left);
  std::printf("%s\n", version < right ? "<" : version == right ? "=" : ">");
  return 0;
}

}  // namespace PlinthTool
