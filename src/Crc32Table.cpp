// The portable CRC engine, for builds without ISA-L: the byte-at-a-time table of the reflected
// polynomial, eight bytes per step ("slicing by 8") so that a step needs no byte's result of the
// step before.
#include "Crc32.h"

#include <array>

namespace Melvo::detail {

namespace {

constexpr std::uint32_t kReflectedPolynomial = 0xEDB88320u;

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

// tables[0] is the classic table; tables[k][b] is the CRC of byte b followed by k zero bytes.
constexpr Tables MakeTables() {
  Tables tables{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) != 0 ? kReflectedPolynomial : 0u);
    tables[0][byte] = crc;
  }
  for (std::size_t k = 1; k < tables.size(); ++k) {
    for (std::size_t byte = 0; byte < 256; ++byte) {
      const std::uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

constexpr Tables kTables = MakeTables();

}  // namespace

void Crc32::Update(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint32_t crc = ~value_;
  for (; size >= 8; size -= 8, bytes += 8) {
    const std::uint32_t low = crc ^ (std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                     std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24);
    crc = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^ kTables[5][(low >> 16) & 0xFFu] ^
          kTables[4][low >> 24] ^ kTables[3][bytes[4]] ^ kTables[2][bytes[5]] ^ kTables[1][bytes[6]] ^
          kTables[0][bytes[7]];
  }
  for (; size > 0; --size, ++bytes) crc = (crc >> 8) ^ kTables[0][(crc ^ *bytes) & 0xFFu];
  value_ = ~crc;
}

}  // namespace Melvo::detail
