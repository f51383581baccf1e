#include "Commands.h"

#include "CopyProgress.h"

#include <Plinth/FileIntegrity.h>
#include <Plinth/Version.h>
#include <Plinth/WaveFileBuffer.h>

#include <cstdint>
#include <cstdio>
#include <limits>

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

// How the samples are encoded, by the format tag of the fmt chunk, in words close to soxi's.
std::string Encoding(std::uint16_t tag, std::int16_t bitsPerSample) {
  switch (tag) {
    case 1:
      return bitsPerSample <= 8 ? "unsigned integer PCM" : "signed integer PCM";
    case 3:
      return "IEEE float";
    case 6:
      return "A-law";
    case 7:
      return "mu-law";
    case 0xFFFE:
      return "extensible";
  }
  char text[32];
  std::snprintf(text, sizeof text, "format tag 0x%04x", static_cast<unsigned>(tag));
  return text;
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
  CopyProgress progress(IsTerminal(stderr), destination);
  progress.CatchSignals();
  const auto report = [&progress](const Melvo::FileProgress& now) { return progress.Report(now); };

  std::string error;
  // Before each pass over the source; a stop signal that came before it stops the copy there.
  const auto ready = [&progress, &source, &error] {
    if (progress.ReadyToRead(source)) return true;
    error = "File operation interrupted";
    return false;
  };
  std::uint32_t checksum = 0;
  bool copied =
      !verify || (ready() && Melvo::ComputeCRC32ChecksumWithProgress(source, checksum, error, report));
  if (copied) {
    copied = ready() &&
             (verify ? Melvo::FileCopyWithCRC32WithProgress(source, destination, checksum, error, report)
                     : Melvo::FileCopyWithProgress(source, destination, error, report));
  }
  progress.Finish(copied);
  if (!copied) {
    // The library leaves the message alone when the copy's size differs from the source's.
    ReportFailure(error.empty() ? "the copy of " + source + " came out at a different size" : error);
    return CopyProgress::Interrupted() ? CopyProgress::InterruptedStatus() : 1;
  }
  if (verify) PrintChecksum(checksum, destination);
  return 0;
}

int WaveInfo(const std::string& file) {
  Melvo::WaveFileBuffer wave(file, true);
  Melvo::WaveFileBuffer::WaveFileParams params;
  // The library logs why it refuses a file; the tool's logger shows that on standard error.
  if (!wave.Load() || !wave.GetWaveFileParams(params)) return 1;
  const long long declared = wave.GetAudioDataSize();
  const long long held = wave.GetFileDataSize();
  std::printf("format: RIFF/WAVE\n");
  std::printf("encoding: %s\n", Encoding(wave.GetAudioFormat(), params.bitsPerSample).c_str());
  std::printf("sample rate: %u Hz\n", static_cast<unsigned>(params.sampleRate));
  std::printf("channels: %d\n", params.numChannels);
  std::printf("bits per sample: %d\n", params.bitsPerSample);
  std::printf("file size: %lld bytes\n", static_cast<long long>(wave.GetFileSize()));
  std::printf("audio data size: %lld bytes\n", declared);
  // The header counts in 32 bits: past 4 GiB its sizes wrap, and a file cut short (or written as a
  // stream, with a size to be filled in later) holds less than its header declares. A duration
  // from such a header would be wrong, by hours at times.
  if (held > std::numeric_limits<std::uint32_t>::max()) {
    std::printf(
        "duration: unknown: the file holds %lld bytes after its header, more than the header's sizes "
        "can count (they wrap past 4 GiB)\n",
        held);
  } else if (declared > held) {
    std::printf("duration: unknown: the header declares %lld bytes of audio, the file holds %lld\n", declared,
                held);
  } else {
    std::printf("duration: %.3f s\n", wave.GetDecimalSecondsInFile());
  }
  return 0;
}

int VersionCompare(const std::string& left, const std::string& right) {
  const Melvo::Version version(left);
  std::printf("%s\n", version < right ? "<" : version == right ? "=" : ">");
  return 0;
}

}  // namespace PlinthTool
