// The CRC engine against the byte-at-a-time reference it replaces, Boost.CRC's crc_32_type, and
// against zlib: every length, alignment and split must give bit-identical values.
#include "Crc32.h"

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>
#include <boost/crc.hpp>

namespace {

std::uint32_t Reference(const unsigned char* data, std::size_t size) {
  boost::crc_32_type crc;
  crc.process_bytes(data, size);
  return crc.checksum();
}

std::uint32_t Engine(const unsigned char* data, std::size_t size) {
  Melvo::detail::Crc32 crc;
  crc.Update(data, size);
  return crc.Value();
}

TEST(Crc32, KnownValues) {
  const auto* digits = reinterpret_cast<const unsigned char*>("123456789");
  EXPECT_EQ(Engine(digits, 9), 0xCBF43926u);
  EXPECT_EQ(Engine(digits, 0), 0u);
  EXPECT_EQ(Melvo::detail::Crc32().Value(), 0u);
}

TEST(Crc32, MatchesBoostAndZlibForRandomLengthsAndAlignments) {
  std::mt19937 random(20261206);
  std::vector<unsigned char> data(1 << 20);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  std::uniform_int_distribution<std::size_t> offsets(0, 63);
  // Every length up to past the engine's widest folding steps, then random ones, a few of them large.
  for (int round = 0; round < 1620; ++round) {
    const std::size_t longest = round < 1600 ? 70000 : data.size() - 64;
    const std::size_t size = round < 600 ? static_cast<std::size_t>(round)
                                         : std::uniform_int_distribution<std::size_t>(0, longest)(random);
    const unsigned char* start = data.data() + offsets(random);
    const std::uint32_t expected = Reference(start, size);
    ASSERT_EQ(Engine(start, size), expected) << "size " << size << " at offset " << start - data.data();
    ASSERT_EQ(crc32(0, start, static_cast<uInt>(size)), expected);
  }
}

TEST(Crc32, PiecesChainToTheValueOfTheWhole) {
  std::mt19937 random(7);
  std::vector<unsigned char> data(300000);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  for (int round = 0; round < 40; ++round) {
    Melvo::detail::Crc32 crc;
    std::size_t done = 0;
    while (done < data.size()) {
      const std::size_t piece =
          std::min(data.size() - done, std::uniform_int_distribution<std::size_t>(0, 70000)(random));
      crc.Update(data.data() + done, piece);
      done += piece;
      ASSERT_EQ(crc.Value(), Reference(data.data(), done));
    }
  }
}

}  // namespace
