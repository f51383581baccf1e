#include "support/Files.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <stdexcept>

#include <boost/filesystem/fstream.hpp>
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

std::string ReadFile(const boost::filesystem::path& file) {
  boost::filesystem::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const boost::filesystem::path& file, const std::string& bytes) {
  boost::filesystem::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

std::string RandomBytes(std::size_t size) {
  static std::mt19937_64 random(1206);
  std::string bytes(size + 8, '\0');
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t word = random();
    std::memcpy(&bytes[i], &word, 8);
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace PlinthTest
