#include "support/MinidumpReader.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace PlinthTest {

MinidumpReader::MinidumpReader(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  data_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (Bytes(0, 4) != "MDMP") throw std::runtime_error("no MDMP signature in " + path);
  const std::uint32_t count = U32(8);
  const std::uint32_t directory = U32(12);
  for (std::uint32_t index = 0; index < count; ++index) {
    const std::size_t entry = directory + index * 12u;
    const std::uint32_t type = U32(entry);
    const MinidumpLocation location{U32(entry + 4), U32(entry + 8)};
    Check(location.rva, location.size);
    if (!streams_.emplace(type, location).second) throw std::runtime_error("stream listed twice");
    streamOrder_.push_back(type);
  }
}

MinidumpLocation MinidumpReader::Stream(std::uint32_t streamType) const {
  auto found = streams_.find(streamType);
  if (found == streams_.end()) throw std::runtime_error("missing stream " + std::to_string(streamType));
  return found->second;
}

std::string MinidumpReader::StreamText(std::uint32_t streamType) const {
  const MinidumpLocation location = Stream(streamType);
  return Bytes(location.rva, location.size);
}

void MinidumpReader::Check(std::size_t at, std::size_t size) const {
  if (at > data_.size() || size > data_.size() - at)
    throw std::runtime_error("read past the end of the dump");
}

std::uint8_t MinidumpReader::U8(std::size_t at) const {
  Check(at, 1);
  return static_cast<std::uint8_t>(data_[at]);
}

std::uint16_t MinidumpReader::U16(std::size_t at) const {
  return static_cast<std::uint16_t>(U8(at) | U8(at + 1) << 8);
}

std::uint32_t MinidumpReader::U32(std::size_t at) const {
  return static_cast<std::uint32_t>(U16(at)) | static_cast<std::uint32_t>(U16(at + 2)) << 16;
}

std::uint64_t MinidumpReader::U64(std::size_t at) const {
  return static_cast<std::uint64_t>(U32(at)) | static_cast<std::uint64_t>(U32(at + 4)) << 32;
}

std::string MinidumpReader::Bytes(std::size_t at, std::size_t size) const {
  Check(at, size);
  return std::string(data_.data() + at, size);
}

std::u16string MinidumpReader::String16(std::size_t at) const {
  const std::uint32_t bytes = U32(at);
  if (bytes % 2 != 0) throw std::runtime_error("odd string length");
  std::u16string text;
  for (std::uint32_t unit = 0; unit < bytes / 2; ++unit)
    text.push_back(static_cast<char16_t>(U16(at + 4 + unit * 2)));
  if (U16(at + 4 + bytes) != 0) throw std::runtime_error("string without terminator");
  return text;
}

std::string MinidumpReader::StringUtf8(std::size_t at) const {
  std::string text;
  const std::u16string units = String16(at);
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t code = units[i];
    if (code >= 0xd800 && code < 0xdc00 && i + 1 < units.size()) {
      code = 0x10000 + ((code - 0xd800) << 10) + (units[++i] - 0xdc00);
    }
    if (code < 0x80) {
      text += static_cast<char>(code);
    } else if (code < 0x800) {
      text += static_cast<char>(0xc0 | (code >> 6));
      text += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
      text += static_cast<char>(0xe0 | (code >> 12));
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      text += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      text += static_cast<char>(0xf0 | (code >> 18));
      text += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      text += static_cast<char>(0x80 | (code & 0x3f));
    }
  }
  return text;
}

std::vector<MinidumpModule> MinidumpReader::Modules() const {
  const MinidumpLocation list = Stream(4);
  const std::uint32_t count = U32(list.rva);
  if (list.size != 4 + count * 108u) throw std::runtime_error("module list size does not match its count");
  std::vector<MinidumpModule> modules;
  for (std::uint32_t index = 0; index < count; ++index) {
    const std::size_t entry = list.rva + 4 + index * 108u;
    MinidumpModule module;
    module.base = U64(entry);
    module.size = U32(entry + 8);
    module.name = StringUtf8(U32(entry + 20));
    module.codeView = Bytes(U32(entry + 80), U32(entry + 76));
    modules.push_back(module);
  }
  return modules;
}

std::vector<MinidumpMemory> MinidumpReader::MemoryRanges() const {
  const MinidumpLocation list = Stream(5);
  const std::uint32_t count = U32(list.rva);
  if (list.size != 4 + count * 16u) throw std::runtime_error("memory list size does not match its count");
  std::vector<MinidumpMemory> ranges;
  for (std::uint32_t index = 0; index < count; ++index) {
    const std::size_t entry = list.rva + 4 + index * 16u;
    MinidumpMemory range{U64(entry), {U32(entry + 8), U32(entry + 12)}};
    Check(range.bytes.rva, range.bytes.size);
    ranges.push_back(range);
  }
  return ranges;
}

}  // namespace PlinthTest
