// Reads a minidump file back for the tests, field by field at the offsets of the published format,
// so that the writer's own structure layout is checked rather than reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace PlinthTest {

struct MinidumpLocation {
  std::uint32_t size = 0;
  std::uint32_t rva = 0;
};

struct MinidumpModule {
  std::uint64_t base = 0;
  std::uint32_t size = 0;
  std::string name;
  std::string codeView;  // the raw CodeView record
};

struct MinidumpMemory {
  std::uint64_t start = 0;
  MinidumpLocation bytes;
};

class MinidumpReader {
 public:
  // Reads the whole file; throws std::runtime_error when it is no minidump or a stream lies
  // outside the file.
  explicit MinidumpReader(const std::string& path);

  std::uint32_t Version() const { return U32(4); }
  const std::vector<std::uint32_t>& StreamOrder() const { return streamOrder_; }
  bool Has(std::uint32_t streamType) const { return streams_.count(streamType) != 0; }
  // The stream's location; throws when the dump lacks it.
  MinidumpLocation Stream(std::uint32_t streamType) const;
  std::string StreamText(std::uint32_t streamType) const;

  std::uint8_t U8(std::size_t at) const;
  std::uint16_t U16(std::size_t at) const;
  std::uint32_t U32(std::size_t at) const;
  std::uint64_t U64(std::size_t at) const;
  std::string Bytes(std::size_t at, std::size_t size) const;
  // A length-prefixed UTF-16 string, as UTF-16 code units and converted to UTF-8.
  std::u16string String16(std::size_t at) const;
  std::string StringUtf8(std::size_t at) const;

  std::vector<MinidumpModule> Modules() const;
  std::vector<MinidumpMemory> MemoryRanges() const;
  std::size_t FileSize() const { return data_.size(); }

 private:
  void Check(std::size_t at, std::size_t size) const;

  std::vector<char> data_;
  std::map<std::uint32_t, MinidumpLocation> streams_;
  std::vector<std::uint32_t> streamOrder_;
};

}  // namespace PlinthTest
