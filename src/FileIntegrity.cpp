// CRC-32 checksums of files, their verification, and copies through a work file.
#include <Plinth/FileIntegrity.h>

#include <algorithm>
#include <memory>
#include <optional>

#include <boost/filesystem/operations.hpp>

#include "Crc32.h"
#include "platform/PlatformFile.h"

namespace Melvo {

namespace {

using Callback = boost::function<bool()>;
using Progress = FileProgressCallback;
using platform::File;
using Outcome = File::Outcome;

// The grain at which the callback is asked.
constexpr std::uint64_t kChecksumBlock = 4096;
constexpr std::uint64_t kCopyBlock = 32768;
// The grain at which bytes actually move. Reads are large enough that system calls cost little and
// small enough to stay in the processor's cache for the checksum; copies inside the kernel go in
// much larger steps, still short enough for an interruption to be noticed promptly.
constexpr std::size_t kReadChunk = 128 * 1024;
constexpr std::size_t kKernelCopyChunk = 8 * 1024 * 1024;

// The interruption callback asked through the progress path, which it does not need to see. It
// lives no longer than the call it serves, so it refers to the caller's callable without copying it.
Progress AskingOnly(const Callback& interruptCallback) {
  if (interruptCallback.empty()) return {};
  // A fresh copy for every check: state kept inside the callable starts over each time.
  return [&interruptCallback](const FileProgress&) { return Callback(interruptCallback)(); };
}

// Asks for progress as often as if the file were worked through one fixed-size block at a time
// (`checksPerBlock` times for each block, the first before the block is read), while the bytes
// actually move in chunks of any size: the checks of a block are asked once the bytes reaching it
// have moved, and report the bytes the block-at-a-time work would have read by then. Only the moment
// of a check changes, never their number, order or report, and work that is interrupted is thrown
// away, so no caller can tell the difference.
class BlockChecks {
 public:
  BlockChecks(const Progress& progress, FilePass pass, const File& input, std::string& errorMessage,
              std::uint64_t blockSize, std::uint64_t checksPerBlock)
      : progress_(progress),
        // Nobody to tell: spare the system call.
        report_{pass, 0, progress.empty() ? std::nullopt : input.Size()},
        errorMessage_(errorMessage),
        blockSize_(blockSize),
        checksPerBlock_(checksPerBlock) {}

  // The first check of the block at `position`, which comes before any of it is read.
  bool InterruptedBeforeReading(std::uint64_t position) {
    return InterruptedUpTo(position / blockSize_ * checksPerBlock_ + 1, position);
  }

  // After the bytes up to `position` moved: the checks of every block moved whole and, when the
  // data `stopped` there (the file ended, or reading or writing failed), of the block it stopped in.
  bool InterruptedAfterMoving(std::uint64_t position, bool stopped) {
    return InterruptedUpTo((position / blockSize_ + (stopped ? 1 : 0)) * checksPerBlock_, position);
  }

 private:
  // Asks every check up to number `checks` (counted from 1), `position` bytes having moved.
  bool InterruptedUpTo(std::uint64_t checks, std::uint64_t position) {
    if (progress_.empty()) return false;
    while (asked_ < checks) {
      // A block's first check comes before it is read, any later ones after.
      const std::uint64_t block = asked_ / checksPerBlock_;
      const bool blockRead = asked_ % checksPerBlock_ != 0;
      ++asked_;
      report_.bytesDone = std::min(position, (block + (blockRead ? 1 : 0)) * blockSize_);
      if (progress_(report_)) {
        errorMessage_ = "File operation interrupted";
        return true;
      }
    }
    return false;
  }

  const Progress& progress_;
  FileProgress report_;
  std::string& errorMessage_;
  const std::uint64_t blockSize_;
  const std::uint64_t checksPerBlock_;
  std::uint64_t asked_ = 0;
};

std::unique_ptr<unsigned char[]> ChunkBuffer() {
  // Not value-initialised: every byte is read into before it is used.
  return std::unique_ptr<unsigned char[]>(new unsigned char[kReadChunk]);
}

// The work file of one copy. Once the copy has opened it for itself, any failure removes it.
class WorkFile {
 public:
  explicit WorkFile(const boost::filesystem::path& destinationPath) : path_(destinationPath) {
    path_ += ".partial";
  }
  ~WorkFile() {
    boost::system::error_code ignored;
    if (owned_) boost::filesystem::remove(path_, ignored);
  }
  WorkFile(const WorkFile&) = delete;
  WorkFile& operator=(const WorkFile&) = delete;

  const boost::filesystem::path& Path() const { return path_; }
  void Own() { owned_ = true; }
  // The work file has become the destination: nothing left to remove.
  void Release() { owned_ = false; }

 private:
  boost::filesystem::path path_;
  bool owned_ = false;
};

// Reads up to one chunk through `buffer` and writes what was read.
File::Transfer MoveThroughBuffer(File& input, File& output, unsigned char* buffer) {
  const File::Transfer read = input.Read(buffer, kReadChunk);
  const File::Transfer written = output.Write(buffer, read.bytes);
  return written.outcome == Outcome::WriteFailed ? written : read;
}

// Moves every byte of `input` into `output`, in the kernel while the system can do it there.
bool MoveContents(File& input, File& output, const boost::filesystem::path& sourcePath,
                  const boost::filesystem::path& workPath, std::string& errorMessage,
                  const Progress& progress) {
  // Twice per block: before reading it, and before writing it.
  BlockChecks checks(progress, FilePass::Copy, input, errorMessage, kCopyBlock, 2);
  const auto buffer = ChunkBuffer();
  bool inKernel = true;
  std::uint64_t position = 0;
  for (;;) {
    if (checks.InterruptedBeforeReading(position)) return false;
    const File::Transfer moved =
        inKernel ? input.CopyTo(output, kKernelCopyChunk) : MoveThroughBuffer(input, output, buffer.get());
    position += moved.bytes;
    if (moved.outcome == Outcome::Unsupported) inKernel = false;
    const bool stopped = moved.outcome != Outcome::Complete && moved.outcome != Outcome::Unsupported;
    if (checks.InterruptedAfterMoving(position, stopped)) return false;
    if (moved.outcome == Outcome::EndOfSource) return true;
    if (moved.outcome == Outcome::ReadFailed) {
      errorMessage = "Fail to read file: " + sourcePath.string();
      return false;
    }
    if (moved.outcome == Outcome::WriteFailed) {
      errorMessage = "Fail to write file: " + workPath.string();
      return false;
    }
  }
}

// True when both files exist and have the same size.
bool HaveSameSize(const boost::filesystem::path& a, const boost::filesystem::path& b) {
  boost::system::error_code aError;
  boost::system::error_code bError;
  const auto aSize = boost::filesystem::file_size(a, aError);
  const auto bSize = boost::filesystem::file_size(b, bError);
  return !aError && !bError && aSize == bSize;
}

// Copies the source into the work file, which is opened (created, truncated) before the source's
// own opening is looked at. A size that differs once both are closed fails with no message.
bool CopyFileContents(const boost::filesystem::path& sourcePath, WorkFile& work, std::string& errorMessage,
                      const Progress& progress) {
  File input = File::OpenForReading(sourcePath);
  File output = File::OpenForWriting(work.Path());
  // Truncating a work file that is the source itself, under its own name or another, would destroy
  // the very bytes to be copied.
  if (!output.IsOpen() || (input.IsOpen() && input.IsSameFileAs(output))) {
    errorMessage = "Fail to open destionation file: " + work.Path().string();
    return false;
  }
  work.Own();
  if (!output.Truncate()) {
    errorMessage = "Fail to open destionation file: " + work.Path().string();
    return false;
  }
  if (!input.IsOpen()) {
    errorMessage = "Fail to open source file: " + sourcePath.string();
    return false;
  }
  // Before the first byte, so that not even a half-written copy of a private file is readable.
  if (!output.TakePermissionsOf(input)) {
    errorMessage = "Fail to open destionation file: " + work.Path().string();
    return false;
  }
  if (!MoveContents(input, output, sourcePath, work.Path(), errorMessage, progress)) return false;
  input.Close();
  if (!output.Close()) {
    errorMessage = "Fail to write file: " + work.Path().string();
    return false;
  }
  return HaveSameSize(sourcePath, work.Path());
}

bool DoComputeChecksum(const boost::filesystem::path& filePath, std::uint32_t& checksum,
                       std::string& errorMessage, const Progress& progress, FilePass pass) {
  if (filePath.empty()) {
    errorMessage = "No input file";
    return false;
  }
  File file = File::OpenForReading(filePath);
  if (!file.IsOpen()) {
    errorMessage = "Failed to open " + filePath.string();
    return false;
  }
  BlockChecks checks(progress, pass, file, errorMessage, kChecksumBlock, 1);
  const auto chunk = ChunkBuffer();
  detail::Crc32 crc;
  std::uint64_t position = 0;
  for (;;) {
    if (checks.InterruptedBeforeReading(position)) return false;
    const File::Transfer read = file.Read(chunk.get(), kReadChunk);
    position += read.bytes;
    const bool stopped = read.outcome != Outcome::Complete;
    if (checks.InterruptedAfterMoving(position, stopped)) return false;
    if (read.outcome == Outcome::ReadFailed) {
      errorMessage = "Failed to read " + filePath.string();
      return false;
    }
    crc.Update(chunk.get(), read.bytes);
    if (stopped) break;
  }
  checksum = crc.Value();
  return true;
}

bool DoVerifyChecksum(const boost::filesystem::path& filePath, std::uint32_t expectedChecksum,
                      std::string& errorMessage, const Progress& progress) {
  std::uint32_t computed = 0;
  if (!DoComputeChecksum(filePath, computed, errorMessage, progress, FilePass::Verify)) return false;
  if (computed == expectedChecksum) return true;
  errorMessage = "Checksum failure when copying: " + filePath.string() + ". We expected " +
                 std::to_string(expectedChecksum) + " but we got " + std::to_string(computed);
  return false;
}

bool DoFileCopy(const boost::filesystem::path& sourcePath, const boost::filesystem::path& destinationPath,
                std::optional<std::uint32_t> expectedChecksum, std::string& errorMessage,
                const Progress& progress) {
  if (sourcePath.empty()) {
    errorMessage = "No source file provided";
    return false;
  }
  if (destinationPath.empty()) {
    errorMessage = "No destination file provided";
    return false;
  }
  // A device, a pipe, a socket or a folder in the destination's place (or behind a link there) is
  // never replaced by a file.
  boost::system::error_code statusError;
  const boost::filesystem::file_type type = boost::filesystem::status(destinationPath, statusError).type();
  if (type != boost::filesystem::regular_file && type != boost::filesystem::file_not_found &&
      type != boost::filesystem::status_error) {
    errorMessage = "Fail to replace destination: " + destinationPath.string() + " is not a regular file";
    return false;
  }
  WorkFile work(destinationPath);
  if (!CopyFileContents(sourcePath, work, errorMessage, progress)) return false;
  if (expectedChecksum && !DoVerifyChecksum(work.Path(), *expectedChecksum, errorMessage, progress)) {
    return false;
  }
  boost::system::error_code renameError;
  boost::filesystem::rename(work.Path(), destinationPath, renameError);
  if (renameError) {
    errorMessage = renameError.message();
    return false;
  }
  work.Release();
  return true;
}

}  // namespace

bool ComputeCRC32Checksum(const boost::filesystem::path& filePath, std::uint32_t& checksum,
                          std::string& errorMessage, boost::function<bool()> interruptCallback) {
  return DoComputeChecksum(filePath, checksum, errorMessage, AskingOnly(interruptCallback),
                           FilePass::Checksum);
}

bool VerifyCRC32Checksum(const boost::filesystem::path& filePath, std::uint32_t expectedChecksum,
                         std::string& errorMessage, boost::function<bool()> interruptCallback) {
  return DoVerifyChecksum(filePath, expectedChecksum, errorMessage, AskingOnly(interruptCallback));
}

bool FileCopy(const boost::filesystem::path& sourcePath, const boost::filesystem::path& destinationPath,
              std::string& errorMessage, boost::function<bool()> interruptCallback) {
  return DoFileCopy(sourcePath, destinationPath, std::nullopt, errorMessage, AskingOnly(interruptCallback));
}

bool FileCopyWithCRC32(const boost::filesystem::path& sourcePath,
                       const boost::filesystem::path& destinationPath, std::uint32_t expectedChecksum,
                       std::string& errorMessage, boost::function<bool()> interruptCallback) {
  return DoFileCopy(sourcePath, destinationPath, expectedChecksum, errorMessage,
                    AskingOnly(interruptCallback));
}

bool ComputeCRC32ChecksumWithProgress(const boost::filesystem::path& filePath, std::uint32_t& checksum,
                                      std::string& errorMessage, FileProgressCallback progress) {
  return DoComputeChecksum(filePath, checksum, errorMessage, progress, FilePass::Checksum);
}

bool VerifyCRC32ChecksumWithProgress(const boost::filesystem::path& filePath, std::uint32_t expectedChecksum,
                                     std::string& errorMessage, FileProgressCallback progress) {
  return DoVerifyChecksum(filePath, expectedChecksum, errorMessage, progress);
}

bool FileCopyWithProgress(const boost::filesystem::path& sourcePath,
                          const boost::filesystem::path& destinationPath, std::string& errorMessage,
                          FileProgressCallback progress) {
  return DoFileCopy(sourcePath, destinationPath, std::nullopt, errorMessage, progress);
}

bool FileCopyWithCRC32WithProgress(const boost::filesystem::path& sourcePath,
                                   const boost::filesystem::path& destinationPath,
                                   std::uint32_t expectedChecksum, std::string& errorMessage,
                                   FileProgressCallback progress) {
  return DoFileCopy(sourcePath, destinationPath, expectedChecksum, errorMessage, progress);
}

}  // namespace Melvo
