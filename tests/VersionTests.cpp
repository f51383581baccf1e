#include <Plinth/Version.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Melvo::Version;

// In increasing order. Numbers that fit 32 bits compare by value, read like an int (leading blanks,
// a sign, trailing letters ignored); other components compare as unsigned bytes; more components
// sort later; equal components leave it to the texts.
const std::string kSorted[] = {"",       ".-.",        "0",           "1",          "1.",        "1.0",
                               "1.00",   "1.0.0",      "1.0.0-alpha", "1.0.0-beta", "1.0.0-rc1", "1-2",
                               "1..2",   "1.02",       "1.2",         "1.2.0",      "1.2.3",     "1.2.10",
                               "1.9",    "1.10",       "1.B",         "1.a",        "1.a.2",     "1.a.10",
                               "1.z",    "1.\xC3\xA9", "2",           "3",          "3rc1",      "3rc9.1",
                               "3rc1.2", " 20",        "+21",         "2147483647"};

// Every operator, against a Version or a text, agrees with the order above.
TEST(Version, OrdersAsDescribedAndKeepsItsText) {
  const auto ops = [](const Version& x, const auto& y) {
    return std::vector<bool>{x == y, x != y, (x < y), x <= y, (x > y), x >= y};
  };
  for (std::size_t i = 0; i < std::size(kSorted); ++i) {
    for (std::size_t j = 0; j < std::size(kSorted); ++j) {
      const std::vector<bool> expected{i == j, i != j, i<j, i <= j, i> j, i >= j};
      EXPECT_EQ(ops(Version(kSorted[i]), Version(kSorted[j])), expected) << kSorted[i] << " / " << kSorted[j];
      EXPECT_EQ(ops(Version(kSorted[i]), kSorted[j]), expected) << kSorted[i] << " / " << kSorted[j];
    }
  }
  // A component past 32 bits compares as bytes, which can make the order intransitive.
  EXPECT_TRUE(Version("100000000000") < Version("99999999999") && Version("2147483648") < Version("3"));
  EXPECT_TRUE(Version("10") < Version("19999999999") && Version("19999999999") < Version("2"));
  EXPECT_EQ(Version(" 1 .x-").toString(), " 1 .x-");  // kept exactly as given
}

}  // namespace
