// The standard CRC-32 (polynomial 0x04C11DB7 processed bit-reflected, register starting all ones,
// reflected output, final exclusive-or with all ones): the value of Boost.CRC's crc_32_type, of
// zlib's crc32 and of gzip. Bytes may be fed in pieces of any size; the value is always that of
// all the bytes so far.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Melvo::detail {

class Crc32 {
 public:
  void Update(const void* data, std::size_t size);
  std::uint32_t Value() const { return value_; }

 private:
  std::uint32_t value_ = 0;
};

}  // namespace Melvo::detail
