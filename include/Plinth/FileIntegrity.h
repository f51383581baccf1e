/// \file
/// CRC-32 checksums of files, their verification, and copies that replace the destination only when
/// the copy is complete and, on request, proven by its checksum.
///
/// A copy is written first to a work file beside the destination, named after it with ".partial"
/// appended, and renamed over the destination only on success; on any failure the work file is
/// removed and the destination keeps its earlier content, even if the process is killed half-way (a
/// work file left by a killed process is truncated and reused by the next copy). The rename replaces
/// the destination atomically, but nothing is forced to disk: after a power loss the file system's
/// own guarantees for a rename apply. Two copies onto the same destination at the same time share
/// one work file, and must not be run. A destination that exists and is not a regular file (a
/// device, a named pipe, a socket, a folder, or a link to one) is never replaced.
///
/// On Linux the copy takes the source's permission bits, less those the process's umask withholds,
/// before its first byte is written, so a private file is never readable by others, not even
/// half-copied; holes of a sparse source stay holes where the file system reports them. On Windows
/// the copy gets the default access rules of its folder.
///
/// Every operation asks `interruptCallback` between blocks of work: once before each 4096-byte block
/// that a checksum reads (including the empty block that ends a file), twice for each 32768-byte
/// block that a copy moves (before reading it and before writing it). Each check calls a fresh copy
/// of the callable, so state held inside the callable object does not carry from one check to the
/// next; state it reaches through a pointer or reference does. An empty callable never interrupts; a
/// check that returns true stops the work with "File operation interrupted".
///
/// Each function has a form ending in WithProgress that takes a progress callback instead: it is
/// asked at exactly the same checks, told which pass over the data is running, how many bytes of it
/// are done and how many there are, and stops the work the same way when it returns true.
///
/// Failures give false and replace `errorMessage` with their text; success leaves `errorMessage`
/// as it was. Nothing is logged and nothing of the library's own is thrown: exceptions of the
/// callback and allocation failures pass to the caller, and a copy cleans up its work file first.
/// Paths in messages are Boost.Filesystem's narrow form of the path. Any number of calls may run at
/// once on different threads.
///
/// A checksum, then a copy proven against it, from the example host; the callback is asked between
/// blocks and could stop the work:
/// \snippet demo_host.cpp FileIntegrity
#pragma once

#include <Plinth/Export.h>

#include <cstdint>
#include <optional>
#include <string>

#include <boost/filesystem/path.hpp>
#include <boost/function.hpp>

namespace Melvo {

/// The CRC-32 of the file's bytes (the standard one, as Boost.CRC's crc_32_type, zlib and gzip
/// compute it; 0xCBF43926 for the ASCII digits 123456789, 0 for an empty file). `checksum` is
/// written only on success. Fails with "No input file" for an empty path, "Failed to open " + path,
/// or "Failed to read " + path.
PLINTH_API bool ComputeCRC32Checksum(const boost::filesystem::path& filePath, std::uint32_t& checksum,
                                     std::string& errorMessage, boost::function<bool()> interruptCallback);

/// True when the file's CRC-32 is `expectedChecksum`. Besides the failures of ComputeCRC32Checksum,
/// a different checksum fails with "Checksum failure when copying: " + path + ". We expected " +
/// expected + " but we got " + computed, both in unsigned decimal.
PLINTH_API bool VerifyCRC32Checksum(const boost::filesystem::path& filePath, std::uint32_t expectedChecksum,
                                    std::string& errorMessage, boost::function<bool()> interruptCallback);

/// Copies the source's bytes into the work file, then renames the work file over the destination.
/// Fails with "No source file provided", "No destination file provided", "Fail to open destionation
/// file: " + work file path (also when the work file turns out to be the source itself, which is
/// then left alone), "Fail to replace destination: " + destination path + " is not a regular file"
/// (before any work file is made), "Fail to open source file: " + source path, "Fail to read file: " + source
/// path, "Fail to write file: " + work file path, the system's text for a failed rename, and with
/// `errorMessage` unchanged when the sizes of the source and the copy differ once written.
PLINTH_API bool FileCopy(const boost::filesystem::path& sourcePath,
                         const boost::filesystem::path& destinationPath, std::string& errorMessage,
                         boost::function<bool()> interruptCallback);

/// FileCopy that, before the rename, checksums the work file as written (a second pass over the data)
/// and fails as VerifyCRC32Checksum does, naming the work file, when it is not `expectedChecksum`.
PLINTH_API bool FileCopyWithCRC32(const boost::filesystem::path& sourcePath,
                                  const boost::filesystem::path& destinationPath,
                                  std::uint32_t expectedChecksum, std::string& errorMessage,
                                  boost::function<bool()> interruptCallback);

/// A pass of the file utilities over a file's bytes.
enum class FilePass {
  Checksum,  ///< ComputeCRC32ChecksumWithProgress reading its file
  Copy,      ///< a copy moving the source's bytes into its work file
  Verify,    ///< VerifyCRC32ChecksumWithProgress reading its file, or a verified copy its work file
};

/// Where a pass stands at one check of a ...WithProgress function.
struct FileProgress {
  FilePass pass;  ///< the pass the check belongs to
  /// The bytes of the pass read so far, counted as if the file were worked through one block at a
  /// time: a check before a block counts the blocks before it, a copy's check between reading a block
  /// and writing it counts that block too. A copy's last check therefore shows every byte, a
  /// checksum's last check the bytes before its final, partly filled or empty, block.
  std::uint64_t bytesDone;
  /// The size of the pass's file when the pass began; none for a file that has no size of its own,
  /// such as a pipe. A file that grows meanwhile may give more bytes done than this.
  std::optional<std::uint64_t> bytesTotal;
};

/// Told the progress at every check; returning true stops the work with "File operation
/// interrupted". The function calls its own copy of the callable each time, so state kept inside
/// the callable carries from one check to the next. An empty callable is never asked.
using FileProgressCallback = boost::function<bool(const FileProgress&)>;

/// ComputeCRC32Checksum, reporting the pass FilePass::Checksum to `progress` at its checks.
PLINTH_API bool ComputeCRC32ChecksumWithProgress(const boost::filesystem::path& filePath,
                                                 std::uint32_t& checksum, std::string& errorMessage,
                                                 FileProgressCallback progress);

/// VerifyCRC32Checksum, reporting the pass FilePass::Verify to `progress` at its checks.
PLINTH_API bool VerifyCRC32ChecksumWithProgress(const boost::filesystem::path& filePath,
                                                std::uint32_t expectedChecksum, std::string& errorMessage,
                                                FileProgressCallback progress);

/// FileCopy, reporting the pass FilePass::Copy to `progress` at its checks.
PLINTH_API bool FileCopyWithProgress(const boost::filesystem::path& sourcePath,
                                     const boost::filesystem::path& destinationPath,
                                     std::string& errorMessage, FileProgressCallback progress);

/// FileCopyWithCRC32, reporting to `progress` the pass FilePass::Copy at the checks of the copy, then
/// FilePass::Verify at those of the checksum over the work file.
PLINTH_API bool FileCopyWithCRC32WithProgress(const boost::filesystem::path& sourcePath,
                                              const boost::filesystem::path& destinationPath,
                                              std::uint32_t expectedChecksum, std::string& errorMessage,
                                              FileProgressCallback progress);

}  // namespace Melvo
