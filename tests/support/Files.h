// Files for tests: a temporary folder removed with everything in it, and whole-file reads and
// writes.
#pragma once

#include <cstddef>
#include <string>

#include <boost/filesystem/path.hpp>

namespace PlinthTest {

// A fresh temporary folder for one test, removed with everything in it when the test ends.
class TempFolder {
 public:
  TempFolder();
  // In `parent` instead of the system's temporary folder.
  explicit TempFolder(const boost::filesystem::path& parent);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const boost::filesystem::path& Path() const { return path_; }
  boost::filesystem::path operator/(const char* name) const { return path_ / name; }

 private:
  boost::filesystem::path path_;
};

// The bytes of a whole file; empty when it cannot be read.
std::string ReadFile(const boost::filesystem::path& file);

// Makes `file` hold exactly `bytes`; throws std::runtime_error when it cannot be written.
void WriteFile(const boost::filesystem::path& file, const std::string& bytes);

// `size` bytes of a fixed-seed generator: every run of a test sees the same bytes.
std::string RandomBytes(std::size_t size);

}  // namespace PlinthTest
