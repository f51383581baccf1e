#include <Plinth/Version.h>
#include <gtest/gtest.h>

namespace {

using Melvo::Version;

// In increasing order. Numbers that fit 32 bits compare by value, read like an int (leading blanks,
// a sign, trailing letters ignored); other components compare as unsigned bytes; more components
// sort later; equal components leave it to the texts. Every operator, against a Version or a text,
// agrees with this order.
TEST(Version, OrdersComponentWise) {
  const std::string sorted[] = {"",      ".-.",    "0",           "1",         "1.",   "1.+",    "1.0",
                                "1.00",  "1.0.0",  "1.0.0-alpha", "1.0.0-rc1", "1-2",  "1..2",   "1.02",
                                "1.2",   "1.2.0",  "1.2.10",      "1.9",       "1.10", "1.B",    "1.a",
                                "1.a.2", "1.a.10", "1.\xC3\xA9",  "2",         "3rc1", "3rc9.1", "3rc1.2",
                                " 20",   "+21",    "2147483647"};
  const auto ops = [](const Version& x, const auto& y) {
    return std::vector<bool>{x == y, x != y, x<y, x <= y, x> y, x >= y};
  };
  for (std::size_t i = 0; i < std::size(sorted); ++i) {
    for (std::size_t j = 0; j < std::size(sorted); ++j) {
      const std::vector<bool> expected{i == j, i != j, i<j, i <= j, i> j, i >= j};
      EXPECT_EQ(ops(Version(sorted[i]), Version(sorted[j])), expected) << sorted[i] << " / " << sorted[j];
      EXPECT_EQ(ops(Version(sorted[i]), sorted[j]), expected) << sorted[i] << " / " << sorted[j];
    }
  }
  // A component past 32 bits compares as bytes, which can make the order intransitive.
  EXPECT_TRUE(Version("10") < Version("19999999999") && Version("19999999999") < Version("2") &&
              Version("2") < Version("10"));
}

}  // namespace
