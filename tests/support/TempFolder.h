// A fresh temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <boost/filesystem/path.hpp>

namespace PlinthTest {

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

}  // namespace PlinthTest
