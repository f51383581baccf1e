// Copies over a scripted file platform, for the failures real local files never produce: here a
// work file that takes every byte and then fails to close, as a network share may report a lost
// write only at close.
#include <Plinth/FileIntegrity.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/PlatformFile.h"

namespace {

const std::string kSource = "the source's bytes";
constexpr std::intptr_t kReader = 1;
constexpr std::intptr_t kWriter = 2;
std::size_t readPosition = 0;

}  // namespace

namespace Melvo::platform {

File::~File() = default;
File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}
File File::OpenForReading(const boost::filesystem::path&) {
  readPosition = 0;
  return File(kReader);
}
File File::OpenForWriting(const boost::filesystem::path&) {
  return File(kWriter);
}
bool File::IsOpen() const {
  return handle_ != kClosed;
}
bool File::IsSameFileAs(const File&) const {
  return false;
}
bool File::Truncate() {
  return true;
}
bool File::TakePermissionsOf(const File&) {
  return true;
}
std::optional<std::uint64_t> File::Size() const {
  return kSource.size();
}
File::Transfer File::Read(void* buffer, std::size_t size) {
  const std::size_t bytes = std::min(size, kSource.size() - readPosition);
  std::memcpy(buffer, kSource.data() + readPosition, bytes);
  readPosition += bytes;
  return {bytes, bytes == size ? Outcome::Complete : Outcome::EndOfSource};
}
File::Transfer File::Write(const void*, std::size_t size) {
  return {size, Outcome::Complete};
}
File::Transfer File::CopyTo(File&, std::size_t) {
  return {0, Outcome::Unsupported};
}
bool File::Close() {
  return std::exchange(handle_, kClosed) != kWriter;
}

}  // namespace Melvo::platform

namespace {

TEST(FileCopyOverScriptedFiles, AWorkFileThatFailsToCloseIsNotTaken) {
  std::string message;
  EXPECT_FALSE(Melvo::FileCopy("source", "destination", message, {}));
  EXPECT_EQ(message, "Fail to write file: destination.partial");
}

}  // namespace
