// ParseDelimited against boost::split on a 1 MiB text of 100k tokens: a quadratic search or
// duplicate check would show up here as a ratio far above 1.
#include <Plinth/StringUtils.h>

#include <benchmark/benchmark.h>
#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

constexpr std::size_t kTextSize = 1 << 20;
constexpr int kTokenCount = 100000;

// Mixed-case words averaging about 9.5 characters, so 100k of them with their commas fill 1 MiB;
// one in ten repeats an earlier word in another case.
const std::string& Text() {
  static const std::string text = [] {
    std::mt19937 rng(1);
    std::vector<std::string> words;
    std::string result;
    result.reserve(kTextSize);
    for (int i = 0; i < kTokenCount; ++i) {
      std::string word;
      if (!words.empty() && rng() % 10 == 0) {
        word = boost::algorithm::to_upper_copy(words[rng() % words.size()]);
      } else {
        const std::size_t length = 6 + rng() % 8;
        for (std::size_t j = 0; j < length; ++j)
          word += static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 26);
        words.push_back(word);
      }
      if (i > 0) result += ',';
      result += word;
    }
    return result;
  }();
  return text;
}

void BM_Ours(benchmark::State& state, bool keepDuplicates, bool ignoreCase) {
  std::vector<std::string> tokens;
  for (auto _ : state) {
    Melvo::ParseDelimited(Text(), ",", tokens, keepDuplicates, ignoreCase);
    benchmark::DoNotOptimize(tokens.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Text().size()));
}

void BM_SplitPeer(benchmark::State& state) {
  std::vector<std::string> tokens;
  for (auto _ : state) {
    boost::split(tokens, Text(), boost::is_any_of(","));
    benchmark::DoNotOptimize(tokens.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Text().size()));
}

// The case-insensitive peer that drops duplicates splits, then keys each piece by a lower-cased
// copy and keeps the caller's case for the tokens, as ParseDelimited does.
void BM_DistinctPeer(benchmark::State& state) {
  std::vector<std::string> pieces;
  std::vector<std::string> tokens;
  for (auto _ : state) {
    boost::split(pieces, Text(), boost::is_any_of(","));
    tokens.clear();
    std::unordered_set<std::string> seen;
    for (auto& piece : pieces) {
      if (piece.empty() || seen.insert(boost::algorithm::to_lower_copy(piece)).second)
        tokens.push_back(std::move(piece));
    }
    benchmark::DoNotOptimize(tokens.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Text().size()));
}

BENCHMARK_CAPTURE(BM_Ours, split, true, false)->Name("ParseDelimited/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitPeer)->Name("ParseDelimited/peer")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Ours, distinct, false, true)
    ->Name("ParseDelimitedDistinctIgnoreCase/ours")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DistinctPeer)->Name("ParseDelimitedDistinctIgnoreCase/peer")->Unit(benchmark::kMillisecond);

}  // namespace
