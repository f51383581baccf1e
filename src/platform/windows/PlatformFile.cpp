// File access through Win32 handles. Windows has no call that moves bytes between two open
// handles, so copies read and write through the process.
#include "platform/PlatformFile.h"

#include <algorithm>
#include <utility>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Melvo::platform {

namespace {

HANDLE Native(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t Stored(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);  // INVALID_HANDLE_VALUE is stored as -1
}

// ReadFile and WriteFile take 32-bit lengths.
DWORD Piece(std::size_t remaining) {
  return static_cast<DWORD>(std::min<std::size_t>(remaining, 1u << 30));
}

}  // namespace

File::~File() {
  Close();
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

File File::OpenForReading(const boost::filesystem::path& path) {
  return File(
      Stored(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)));
}

File File::OpenForWriting(const boost::filesystem::path& path) {
  // The link itself is opened, not its target, so that a link found in the file's place is seen.
  File file(
      Stored(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
  BY_HANDLE_FILE_INFORMATION info{};
  if (file.IsOpen() && (!::GetFileInformationByHandle(Native(file.handle_), &info) ||
                        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    file.Close();
  }
  return file;
}

bool File::IsOpen() const {
  return handle_ != kClosed;
}

bool File::IsSameFileAs(const File& other) const {
  BY_HANDLE_FILE_INFORMATION mine{};
  BY_HANDLE_FILE_INFORMATION theirs{};
  return ::GetFileInformationByHandle(Native(handle_), &mine) &&
         ::GetFileInformationByHandle(Native(other.handle_), &theirs) &&
         mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
         mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow;
}

bool File::Truncate() {
  LARGE_INTEGER start{};
  return ::SetFilePointerEx(Native(handle_), start, nullptr, FILE_BEGIN) && ::SetEndOfFile(Native(handle_));
}

bool File::TakePermissionsOf(const File& /*source*/) {
  return true;
}

std::optional<std::uint64_t> File::Size() const {
  LARGE_INTEGER size{};
  if (::GetFileType(Native(handle_)) != FILE_TYPE_DISK || !::GetFileSizeEx(Native(handle_), &size)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

File::Transfer File::Read(void* buffer, std::size_t size) {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    DWORD got = 0;
    if (!::ReadFile(Native(handle_), bytes + done, Piece(size - done), &got, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return {done, Outcome::EndOfSource};
      return {done, Outcome::ReadFailed};
    }
    if (got == 0) return {done, Outcome::EndOfSource};
    done += got;
  }
  return {done, Outcome::Complete};
}

File::Transfer File::Write(const void* buffer, std::size_t size) {
  const auto* bytes = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    DWORD put = 0;
    if (!::WriteFile(Native(handle_), bytes + done, Piece(size - done), &put, nullptr) || put == 0) {
      return {done, Outcome::WriteFailed};
    }
    done += put;
  }
  return {done, Outcome::Complete};
}

File::Transfer File::CopyTo(File& /*destination*/, std::size_t /*size*/) {
  return {0, Outcome::Unsupported};
}

bool File::Close() {
  if (!IsOpen()) return true;
  return ::CloseHandle(Native(std::exchange(handle_, kClosed))) != 0;
}

}  // namespace Melvo::platform
