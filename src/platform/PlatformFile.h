// Plain file access for the file utilities: open, read, write, in-kernel copy and close, each
// reporting failure by its result instead of by an exception. Reads and writes go straight to the
// operating system, without a stream buffer in between, so large blocks cost one call each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <boost/filesystem/path.hpp>

namespace Melvo::platform {

// An open file, closed by its destructor. Files are opened shared with other readers and writers.
class File {
 public:
  // What a transfer between two files came to.
  enum class Outcome {
    Complete,     // every byte asked for was moved
    EndOfSource,  // the source ended first
    ReadFailed,
    WriteFailed,
    Unsupported,  // the system cannot move these bytes for us: read and write them instead
  };
  struct Transfer {
    std::size_t bytes;  // moved before the outcome
    Outcome outcome;
  };

  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) = delete;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing file for reading.
  static File OpenForReading(const boost::filesystem::path& path);
  // Opens a file for writing, creating it when missing but keeping its content (see Truncate). A
  // symbolic link in the file's place is refused, never written through.
  static File OpenForWriting(const boost::filesystem::path& path);

  bool IsOpen() const;
  // True when both handles reach the same file, under whatever names.
  bool IsSameFileAs(const File& other) const;
  bool Truncate();
  // Gives this file the permission bits of `source`, less those the process's file-creation mask
  // withholds, so that a copy is never open to more users than its source. Where the system has
  // no such bits (Windows), the file keeps its folder's default access rules.
  bool TakePermissionsOf(const File& source);
  // The size of a regular file; none for a pipe, a device or anything else without one.
  std::optional<std::uint64_t> Size() const;

  // Reads until `size` bytes are in, the file ends or a read fails. Complete, EndOfSource or
  // ReadFailed.
  Transfer Read(void* buffer, std::size_t size);
  // Writes all `size` bytes: Complete or WriteFailed.
  Transfer Write(const void* buffer, std::size_t size);
  // Moves up to `size` bytes from this file's position to `destination`'s inside the system, both
  // positions advancing; a hole the system reports in this file stays a hole in the destination. Unsupported
  // when the system cannot, or when it fails in a way that does not tell reading from writing; the bytes
  // already moved stay moved, so plain reads and writes can take over from where it stopped.
  Transfer CopyTo(File& destination, std::size_t size);

  // Closes the file; false when the system reports that written data may not have reached it.
  bool Close();

 private:
  explicit File(std::intptr_t handle) : handle_(handle) {}

  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
};

}  // namespace Melvo::platform
