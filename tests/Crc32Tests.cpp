// The CRC engine against zlib's crc32: every length, alignment and split must give bit-identical
// values.
#include "Crc32.h"

#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

TEST(Crc32, MatchesZlibAtEveryLengthAlignmentAndSplit) {
  std::mt19937 random(20261206);
  std::vector<unsigned char> data(1 << 20);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  // Every length up to past the engine's widest folding steps, then random ones, a few of them large,
  // each at a random alignment and fed in two pieces split at random; the value is read between them.
  for (std::size_t round = 0; round < 1620; ++round) {
    const std::size_t size = round < 600 ? round : random() % (round < 1600 ? 70000 : data.size() - 64);
    const unsigned char* start = data.data() + random() % 64;
    const std::size_t split = random() % (size + 1);
    Melvo::detail::Crc32 crc;
    crc.Update(start, split);
    ASSERT_EQ(crc.Value(), crc32(0, start, static_cast<uInt>(split))) << split << " bytes";
    crc.Update(start + split, size - split);
    ASSERT_EQ(crc.Value(), crc32(0, start, static_cast<uInt>(size)))
        << size << " bytes at offset " << start - data.data();
  }
}

}  // namespace
