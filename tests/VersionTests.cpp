#include <Plinth/Version.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Melvo::Version;

TEST(Version, OrdersComponentsThenText) {
  struct Case {
    const char* left;
    const char* right;
    bool less;
  };
  const Case cases[] = {
      {"1.2.3", "1.2.10", true},
      {"1.10", "1.9", false},
      {"2", "10", true},  // numbers by value
      {" 2", "10", true},
      {"+2", "10", true},
      {"3rc9.1", "3rc1.2", true},  // leading number read
      {"1.2", "1.2.0", true},
      {"1.0.0", "1.0.0-rc1", true},
      {"1.", "1..2", true},  // longer sorts later
      {"", "0", true},
      {"", "", false},
      {"", ".-.", true},  // no components: text decides
      {"1.0.0-alpha", "1.0.0-beta", true},
      {"1.a", "1.2", false},
      {"1.B", "1.a", true},         // words as bytes
      {"1.z", "1.\xC3\xA9", true},  // unsigned bytes
      {"1.02", "1.2", true},
      {"1.2", "1.02", false},
      {"1-2", "1.2", true},
      {"3", "3rc1", true},
      {"99999999999", "100000000000", false},  // beyond 32 bits: text
      {"2147483647", "3", false},
      {"2147483648", "3", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Version(c.left) < Version(c.right), c.less) << c.left << " < " << c.right;
    EXPECT_EQ(Version(c.left) < std::string(c.right), c.less) << c.left << " < " << c.right;
  }
  // Components that fail the numeric read make the order intransitive, as the header warns.
  EXPECT_TRUE(Version("10") < Version("19999999999") && Version("19999999999") < Version("2"));
}

TEST(Version, KeepsItsTextAndComparesTextsForEquality) {
  const Version version(" 1 .x-");
  const Version copy = version;
  EXPECT_EQ(copy.toString(), " 1 .x-");
  EXPECT_TRUE(copy == version);
  EXPECT_TRUE(Version("1.0") != Version("1.00"));
  EXPECT_FALSE(Version("1.0") < Version("1.00") && Version("1.00") < Version("1.0"));
}

// Components that are numbers within 32 bits (leading zeros and trailing letters sometimes) or
// words, joined by "." and "-", now and then doubled or at the ends: there the order is total.
std::string RandomVersion(std::mt19937& rng) {
  const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  static const char* const words[] = {"alpha", "beta", "rc", "rc1", "Beta", "b"};
  std::string text = pick(0, 9) == 0 ? "." : "";
  for (int i = 0, count = pick(0, 4); i < count; ++i) {
    if (i > 0) text += pick(0, 3) == 0 ? "-" : pick(0, 6) == 0 ? ".." : ".";
    switch (pick(0, 4)) {
      case 0:
        text += words[pick(0, 5)];
        break;
      case 1:
        text += "0" + std::to_string(pick(0, 12));
        break;
      case 2:
        text += std::to_string(pick(0, 12)) + "rc";
        break;
      case 3:
        text += std::to_string(pick(0, 2147483647));
        break;
      default:
        text += std::to_string(pick(0, 12));
    }
  }
  return pick(0, 9) == 0 ? text + "-" : text;
}

TEST(Version, RandomVersionsAreStrictlyTotallyOrderedAndOperatorsAgree) {
  std::mt19937 rng(4242);
  std::vector<std::string> texts = {"", "1.2", "1.2.0", "1.02", "1.10", "1.9", "1.0.0-rc1", "1.a"};
  while (texts.size() < 250) texts.push_back(RandomVersion(rng));

  for (const auto& a : texts) {
    const Version va(a);
    for (const auto& b : texts) {
      const Version vb(b);
      const bool less = va < vb;
      const bool equal = a == b;
      ASSERT_FALSE(less && vb < va) << a << " / " << b;
      ASSERT_EQ(less || vb < va, !equal) << a << " / " << b;  // trichotomy, texts as equivalence
      ASSERT_EQ(va == vb, equal);
      ASSERT_EQ(va != vb, !equal);
      ASSERT_EQ(va <= vb, equal || less);
      ASSERT_EQ(va > vb, !equal && !less);
      ASSERT_EQ(va >= vb, !less);
      ASSERT_EQ(va == b, va == vb);
      ASSERT_EQ(va != b, va != vb);
      ASSERT_EQ(va < b, less);
      ASSERT_EQ(va <= b, va <= vb);
      ASSERT_EQ(va > b, va > vb);
      ASSERT_EQ(va >= b, va >= vb);
    }
  }
  for (int round = 0; round < 200000; ++round) {
    const Version a(texts[rng() % texts.size()]), b(texts[rng() % texts.size()]),
        c(texts[rng() % texts.size()]);
    if (a < b && b < c) {
      ASSERT_TRUE(a < c) << a.toString() << " < " << b.toString() << " < " << c.toString();
    }
  }
}

}  // namespace
