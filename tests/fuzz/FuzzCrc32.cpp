// The CRC engine, fed the bytes in pieces of fuzzer-chosen sizes and alignments, must agree with
// the plain table-driven CRC-32 over the same bytes, after every piece.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "Crc32.h"

namespace {

std::array<std::uint32_t, 256> MakeTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    table[n] = c;
  }
  return table;
}

// The register is kept inverted between calls, as zlib's crc32 does.
std::uint32_t PlainCrc32(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  static const std::array<std::uint32_t, 256> table = MakeTable();
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) {
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  }
  return ~crc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t pieces = input.ConsumeIntegralInRange<std::size_t>(1, 8);
  std::vector<std::size_t> pieceSizes;
  std::vector<std::size_t> alignments;
  for (std::size_t i = 0; i < pieces; ++i) {
    pieceSizes.push_back(input.ConsumeIntegralInRange<std::size_t>(0, 4096));
    alignments.push_back(input.ConsumeIntegralInRange<std::size_t>(0, 63));
  }
  const std::vector<unsigned char> bytes = input.ConsumeRemainingBytes<unsigned char>();

  Melvo::detail::Crc32 engine;
  std::uint32_t expected = 0;
  std::size_t done = 0;
  for (std::size_t i = 0; i <= pieces; ++i) {
    // The last piece takes whatever is left, so every byte is fed.
    const std::size_t left = bytes.size() - done;
    const std::size_t piece = i == pieces ? left : std::min(pieceSizes[i], left);
    // A copy at a chosen misalignment, sized exactly, so that any read past it is caught.
    const std::size_t shift = i == pieces ? 0 : alignments[i];
    std::vector<unsigned char> copy(shift + piece);
    if (piece != 0) std::memcpy(copy.data() + shift, bytes.data() + done, piece);
    engine.Update(copy.data() + shift, piece);
    expected = PlainCrc32(expected, bytes.data() + done, piece);
    done += piece;
    if (engine.Value() != expected) std::abort();
  }
  return 0;
}
