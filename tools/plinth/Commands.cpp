#include "Commands.h"

#include "CopyProgress.h"

#include <Plinth/FileIntegrity.h>
#include <Plinth/Version.h>
#include <Plinth/WaveFileBuffer.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <system_error>

#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#ifdef _WIN32
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace PlinthTool {

namespace {

const char kInterrupted[] = "File operation interrupted";

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

// The file utilities give no reason with their failures. For what only they saw (a read or a write
// that failed) the error their last system call left is the best there is: it is cleared before
// they start and read as soon as they return.
void ClearSystemError() {
#ifdef _WIN32
  ::SetLastError(0);
#else
  errno = 0;
#endif
}

std::error_code SystemError() {
#ifdef _WIN32
  return {static_cast<int>(::GetLastError()), std::system_category()};
#else
  return {errno, std::generic_category()};
#endif
}

std::string Text(int error) {
  return std::generic_category().message(error);
}

// Why the library failed on `path`, as the file system tells it: the path cannot be reached, or is
// a folder where a file was wanted (or the other way round); otherwise `error`, what the library's
// failing call left, or else what opening the file for reading meets. Empty when nothing is wrong.
std::string Reason(const std::string& path, bool folderWanted, const std::error_code& error) {
  const std::string name = path.empty() && folderWanted ? "." : path;
  struct stat status {};
  if (::stat(name.c_str(), &status) != 0) return Text(errno);
  const bool folder = (status.st_mode & S_IFMT) == S_IFDIR;
  if (folder != folderWanted) return Text(folderWanted ? ENOTDIR : EISDIR);
  if (error) return error.message();
  // Only a regular file is opened: a pipe or a device could keep the tool waiting.
  if (folder || (status.st_mode & S_IFMT) != S_IFREG) return {};
  std::FILE* const file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) return Text(errno);
  std::fclose(file);
  return {};
}

std::string With(const std::string& message, const std::string& reason) {
  return reason.empty() ? message : message + ": " + reason;
}

// The library's message about a failed copy, with the system's reason after it. The file a message
// is about is told by its fixed opening words.
std::string CopyFailure(const std::string& message, const std::error_code& error, const std::string& source,
                        const std::string& destination) {
  const auto startsWith = [&message](const std::string& words) {
    return message.compare(0, words.size(), words) == 0;
  };
  const std::string work = destination + ".partial";
  // The library proves a copy complete by its size, and leaves the message alone when that differs
  // from the source's, or when the source has no size (a pipe, a device).
  if (message.empty()) {
    boost::system::error_code ignored;
    return "the copy of " + source +
           (boost::filesystem::is_regular_file(source, ignored)
                ? " came out at a different size"
                : " cannot be proven complete by its size: it is not a regular file");
  }
  if (message == kInterrupted || startsWith("Checksum failure")) return message;
  if (startsWith("Fail to open destionation file: ")) {
    return With(message, Reason(boost::filesystem::path(work).parent_path().string(), true, error));
  }
  // The copy's writes and the verifying reads of the work file: it is gone by now.
  if (message.size() >= work.size() &&
      message.compare(message.size() - work.size(), work.size(), work) == 0) {
    return With(message, error ? error.message() : std::string());
  }
  if (startsWith("Fail to replace destination: ") || startsWith("No destination")) {
    return With(message, Reason(destination, false, {}));
  }
  if (startsWith("Fail") || startsWith("No ")) return With(message, Reason(source, false, error));
  // All that is left is the system's own text for a rename that failed, which names no file.
  return "cannot replace " + destination + ": " + message;
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
    // "-" is standard input, named as rhash names it.
    const bool standardInput = file == "-";
#ifdef _WIN32
    // The library checksums files by path, and Windows has no path for standard input.
    if (standardInput) {
      ReportFailure("-: standard input cannot be checksummed on Windows");
      status = 1;
      continue;
    }
#endif
    const std::string path = standardInput ? "/dev/stdin" : file;
    std::uint32_t checksum = 0;
    std::string error;
    ClearSystemError();
    if (Melvo::ComputeCRC32Checksum(path, checksum, error, {})) {
      PrintChecksum(checksum, standardInput ? "(stdin)" : file);
    } else {
      ReportFailure(With(error, Reason(path, false, SystemError())));
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
    if (!progress.ReadyToRead(source)) {
      error = kInterrupted;
      return false;
    }
    ClearSystemError();
    return true;
  };
  std::uint32_t checksum = 0;
  bool copied =
      !verify || (ready() && Melvo::ComputeCRC32ChecksumWithProgress(source, checksum, error, report));
  if (copied) {
    copied = ready() &&
             (verify ? Melvo::FileCopyWithCRC32WithProgress(source, destination, checksum, error, report)
                     : Melvo::FileCopyWithProgress(source, destination, error, report));
  }
  const std::error_code systemError = SystemError();
  progress.Finish(copied);
  if (!copied) {
    ReportFailure(CopyFailure(error, systemError, source, destination));
    return CopyProgress::Interrupted() ? CopyProgress::InterruptedStatus() : 1;
  }
  if (verify) PrintChecksum(checksum, destination);
  return 0;
}

int WaveInfo(const std::string& file) {
  Melvo::WaveFileBuffer wave(file, true);
  Melvo::WaveFileBuffer::WaveFileParams params;
  // The library logs why it refuses a file, and the tool's logger shows that on standard error; the
  // file system's reason, if there is one, follows.
  if (!wave.Load() || !wave.GetWaveFileParams(params)) {
    const std::string reason = Reason(file, false, {});
    if (!reason.empty()) ReportFailure(file + ": " + reason);
    return 1;
  }
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
