// Reads a minidump file back for the tests, field by field at the offsets of the published format,
// so that the writer's own structure layout is checked rather than reused.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Files.h"

namespace PlinthTest {

struct MinidumpStream {
  std::uint32_t size, rva;
};

class MinidumpReader {
 public:
  // Throws std::runtime_error when the file is no minidump; every read throws when it goes past
  // the end of the file.
  explicit MinidumpReader(const std::string& path) : data_(ReadFile(path)) {
    if (data_.compare(0, 4, "MDMP") != 0) throw std::runtime_error("no minidump: " + path);
  }

  // The stream of `type`, checked to lie within the file; throws when the dump lacks it.
  MinidumpStream Stream(std::uint32_t type) const {
    for (std::uint32_t index = 0; index < U32(8); ++index) {
      const std::uint32_t entry = U32(12) + index * 12;
      if (U32(entry) != type) continue;
      const MinidumpStream stream{U32(entry + 4), U32(entry + 8)};
      Bytes(stream.rva, stream.size);
      return stream;
    }
    throw std::runtime_error("missing stream " + std::to_string(type));
  }

  std::string StreamText(std::uint32_t type) const { return Bytes(Stream(type).rva, Stream(type).size); }

  // The offsets of the entries of a list stream, after checking that the stream's size is that of
  // its count of `entrySize`-byte entries.
  std::vector<std::uint32_t> Entries(std::uint32_t type, std::uint32_t entrySize) const {
    const MinidumpStream list = Stream(type);
    if (list.size != 4 + U32(list.rva) * entrySize)
      throw std::runtime_error("list size does not match its count");
    std::vector<std::uint32_t> entries;
    for (std::uint32_t index = 0; index < U32(list.rva); ++index)
      entries.push_back(list.rva + 4 + index * entrySize);
    return entries;
  }

  std::string Bytes(std::size_t at, std::size_t size) const {
    if (at > data_.size() || size > data_.size() - at)
      throw std::runtime_error("read past the end of the dump");
    return data_.substr(at, size);
  }

  template <typename T>
  T Get(std::size_t at) const {
    T value;
    std::memcpy(&value, Bytes(at, sizeof value).data(), sizeof value);
    return value;
  }
  std::uint16_t U16(std::size_t at) const { return Get<std::uint16_t>(at); }
  std::uint32_t U32(std::size_t at) const { return Get<std::uint32_t>(at); }
  std::uint64_t U64(std::size_t at) const { return Get<std::uint64_t>(at); }

 private:
  std::string data_;
};

}  // namespace PlinthTest
