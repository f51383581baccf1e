#include "support/TempFolder.h"

#include <boost/filesystem/operations.hpp>

namespace PlinthTest {

TempFolder::TempFolder() : TempFolder(boost::filesystem::temp_directory_path()) {}

TempFolder::TempFolder(const boost::filesystem::path& parent)
    : path_(parent / boost::filesystem::unique_path("plinth-test-%%%%-%%%%-%%%%")) {
  boost::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(path_, ignored);
}

}  // namespace PlinthTest
