#include <Plinth/Version.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Melvo::Version;

// In increasing order. Numbers that fit 32 bits compare by value, read like an int (leading blanks,
// a sign, trailing letters ignored); other components compare as unsigned bytes; more components
// sort later; equal components leave it to the texts.
const std::string kSorted[] = {"",       ".-.",         "0",          "1",         "1.",  "1.0",  "1.00",
                               "1.0.0",  "1.0.0-alpha", "1.0.0-beta", "1.0.0-rc1", "1-2", "1..2", "1.02",
                               "1.2",    "1.2.0",       "1.2.3",      "1.2.10",    "1.9", "1.10", "1.B",
                               "1.a",    "1.z",         "1.\xC3\xA9", "2",         "3",   "3rc1", "3rc9.1",
                               "3rc1.2", " 20",         "+21",        "2147483647"};

TEST(Version, OrdersAsDescribedAndKeepsItsText) {
  for (std::size_t i = 0; i < std::size(kSorted); ++i)
    for (std::size_t j = 0; j < std::size(kSorted); ++j)
      EXPECT_EQ(Version(kSorted[i]) < Version(kSorted[j]), i < j) << kSorted[i] << " / " << kSorted[j];
  // A component past 32 bits compares as bytes, which can make the order intransitive.
  EXPECT_TRUE(Version("100000000000") < Version("99999999999") && Version("2147483648") < Version("3"));
  EXPECT_TRUE(Version("10") < Version("19999999999") && Version("19999999999") < Version("2"));
  EXPECT_EQ(Version(" 1 .x-").toString(), " 1 .x-");  // kept exactly as given
}

// The texts above and random ones built from numbers that fit 32 bits and words starting with a
// letter, with separators doubled or at either end now and then: there the order is strict and
// total, only equal texts are equal, and every operator agrees with < and with its string form.
TEST(Version, RandomVersionsAreStrictlyOrderedAndOperatorsAgree) {
  std::mt19937 rng(4242);
  const std::string parts[] = {"", "0", "2", "02", "10", "3rc", "rc1", "alpha", "Beta", "2147483647"};
  std::vector<std::string> texts(std::begin(kSorted), std::end(kSorted));
  while (texts.size() < 250) {
    std::string text;
    for (int n = 1 + rng() % 4; n > 0; --n) text += ".-"[rng() % 2] + parts[rng() % std::size(parts)];
    texts.push_back(text.substr(rng() % 2));
  }
  const auto ops = [](const Version& x, const auto& y) {
    return std::vector<bool>{x == y, x != y, (x < y), x <= y, (x > y), x >= y};
  };
  for (const auto& a : texts) {
    for (const auto& b : texts) {
      const Version va(a), vb(b), vc(texts[rng() % texts.size()]);
      const bool less = va < vb, equal = a == b;
      ASSERT_EQ(int(less) + int(vb < va), int(!equal)) << a << " / " << b;  // irreflexive, asymmetric, total
      ASSERT_EQ(ops(va, vb), (std::vector<bool>{equal, !equal, less, equal || less, !equal && !less, !less}));
      ASSERT_EQ(ops(va, b), ops(va, vb)) << a << " / " << b;
      ASSERT_TRUE(!(less && vb < vc) || va < vc) << a << " < " << b << " < " << vc.toString();
    }
  }
}

}  // namespace
