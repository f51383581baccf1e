// File access through POSIX descriptors; copies between files use copy_file_range, which moves
// the bytes inside the kernel without bringing them up to the process.
#include "platform/PlatformFile.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Melvo::Platform {

namespace {

int Descriptor(std::intptr_t handle) {
  return static_cast<int>(handle);
}

std::intptr_t OpenWithRetry(const boost::filesystem::path& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
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
    const ssize_t moved = ::copy_file_range(Descriptor(handle_), nullptr, Descriptor(destination.handle_),
                                            nullptr, size - done, 0);
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

}  // namespace Melvo::Platform
