// A copy over a scripted file platform, for a failure real local files never produce: a work file
// that fails to close, as a network share may report a lost write only at close.
#include <Plinth/FileIntegrity.h>

#include <utility>

#include <gtest/gtest.h>

#include "platform/PlatformFile.h"

namespace Melvo::platform {

// A source with no bytes, read through the kernel; only the work file's close fails.
constexpr std::intptr_t kReader = 1;
constexpr std::intptr_t kWriter = 2;

File::~File() = default;
File File::OpenForReading(const boost::filesystem::path&) {
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
  return 0;
}
File::Transfer File::Read(void*, std::size_t) {
  return {0, Outcome::EndOfSource};
}
File::Transfer File::Write(const void*, std::size_t size) {
  return {size, Outcome::Complete};
}
File::Transfer File::CopyTo(File&, std::size_t) {
  return {0, Outcome::EndOfSource};
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
