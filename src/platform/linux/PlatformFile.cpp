// File access through POSIX descriptors; copies between files use copy_file_range, which moves
// the bytes inside the kernel without bringing them up to the process.
#include "platform/PlatformFile.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Melvo::platform {

namespace {

int Descriptor(std::intptr_t handle) {
  return static_cast<int>(handle);
}

std::intptr_t OpenWithRetry(const boost::filesystem::path& path, int flags) {
  int fd;
  do {
    // A new file is private until it is given the permissions it should have.
    fd = ::open(path.c_str(), flags | O_CLOEXEC, S_IRUSR | S_IWUSR);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The process's file-creation mask. Read from /proc, because the one call that returns it also
// changes it, which other threads creating files at that moment would see. Where /proc cannot
// tell, the most private mask serves.
mode_t ProcessUmask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 6, "Umask:") == 0) return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  }
  return S_IRWXG | S_IRWXO;
}

// Leaves a hole in `destination` as long as the one at the source's position (at most `limit`
// bytes), both positions moving past it; the bytes skipped, 0 where the source holds data or
// cannot tell. The destination grows by its size without a block being written.
std::size_t SkipHole(int source, int destination, std::size_t limit) {
  const off_t at = ::lseek(source, 0, SEEK_CUR);
  off_t data = at < 0 ? at : ::lseek(source, at, SEEK_DATA);
  // No data after the position: a hole up to the end, or the end itself.
  if (data < 0 && errno == ENXIO) data = ::lseek(source, 0, SEEK_END);
  const off_t written = ::lseek(destination, 0, SEEK_CUR);
  const off_t hole = data > at && written >= 0 ? std::min<off_t>(data - at, static_cast<off_t>(limit)) : 0;
  if (hole == 0 || ::ftruncate(destination, written + hole) != 0 ||
      ::lseek(destination, written + hole, SEEK_SET) < 0) {
    if (at >= 0) ::lseek(source, at, SEEK_SET);
    return 0;
  }
  ::lseek(source, at + hole, SEEK_SET);
  return static_cast<std::size_t>(hole);
}

// How much of the next `limit` bytes from the source's position is data before the next hole;
// `limit` where the source cannot tell. The position stays where it is.
std::size_t DataBeforeHole(int source, std::size_t limit) {
  const off_t at = ::lseek(source, 0, SEEK_CUR);
  const off_t hole = at < 0 ? at : ::lseek(source, at, SEEK_HOLE);
  if (hole < 0) return limit;
  ::lseek(source, at, SEEK_SET);
  return hole > at ? std::min(static_cast<std::size_t>(hole - at), limit) : limit;
}

}  // namespace

File::~File() {
  Close();
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

File File::OpenForReading(const boost::filesystem::path& path) {
  File file(OpenWithRetry(path, O_RDONLY));
  // Whole files are read front to back: let the kernel read further ahead.
  if (file.IsOpen()) ::posix_fadvise(Descriptor(file.handle_), 0, 0, POSIX_FADV_SEQUENTIAL);
  return file;
}

File File::OpenForWriting(const boost::filesystem::path& path) {
  return File(OpenWithRetry(path, O_WRONLY | O_CREAT | O_NOFOLLOW));
}

bool File::IsOpen() const {
  return handle_ != kClosed;
}

bool File::IsSameFileAs(const File& other) const {
  struct stat mine {};
  struct stat theirs {};
  return ::fstat(Descriptor(handle_), &mine) == 0 && ::fstat(Descriptor(other.handle_), &theirs) == 0 &&
         mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

bool File::Truncate() {
  return ::ftruncate(Descriptor(handle_), 0) == 0;
}

bool File::TakePermissionsOf(const File& source) {
  struct stat status {};
  return ::fstat(Descriptor(source.handle_), &status) == 0 &&
         ::fchmod(Descriptor(handle_), status.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO) & ~ProcessUmask()) == 0;
}

std::optional<std::uint64_t> File::Size() const {
  struct stat status {};
  if (::fstat(Descriptor(handle_), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

File::Transfer File::Read(void* buffer, std::size_t size) {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(Descriptor(handle_), bytes + done, size - done);
    if (got == 0) return {done, Outcome::EndOfSource};
    if (got < 0) {
      if (errno == EINTR) continue;
      return {done, Outcome::ReadFailed};
    }
    done += static_cast<std::size_t>(got);
  }
  return {done, Outcome::Complete};
}

File::Transfer File::Write(const void* buffer, std::size_t size) {
  const auto* bytes = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(Descriptor(handle_), bytes + done, size - done);
    if (put <= 0) {
      if (put < 0 && errno == EINTR) continue;
      return {done, Outcome::WriteFailed};
    }
    done += static_cast<std::size_t>(put);
  }
  return {done, Outcome::Complete};
}

File::Transfer File::CopyTo(File& destination, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    // Holes stay holes: a sparse file's copy takes no more room on disk than the file itself.
    const std::size_t skipped = SkipHole(Descriptor(handle_), Descriptor(destination.handle_), size - done);
    done += skipped;
    if (skipped != 0) continue;
    const ssize_t moved = ::copy_file_range(Descriptor(handle_), nullptr, Descriptor(destination.handle_),
                                            nullptr, DataBeforeHole(Descriptor(handle_), size - done), 0);
    if (moved < 0 && errno == EINTR) continue;
    // A failure does not say which side failed, and some pseudo-files claim to end before their
    // first byte: in both cases plain reads and writes take over and tell what really happens.
    if (moved <= 0) return {done, Outcome::Unsupported};
    done += static_cast<std::size_t>(moved);
  }
  return {done, Outcome::Complete};
}

bool File::Close() {
  if (!IsOpen()) return true;
  const int result = ::close(Descriptor(std::exchange(handle_, kClosed)));
  // Linux releases the descriptor even when close is interrupted; retrying could close another.
  return result == 0 || errno == EINTR;
}

}  // namespace Melvo::platform
