// File checksums and copies of 256 MiB held in the page cache, against the command-line tools that
// do the same work and against zlib's crc32: `rhash --crc32`, zlib over 1 MiB reads, and `cat` to
// /dev/null as the machine's plain read speed; `cp` for the copy, `cp` then `rhash --crc32` for
// the verified copy. The tools run as child processes, so every benchmark is timed by the clock.
#include <Plinth/FileIntegrity.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>
#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

extern char** environ;

namespace {

constexpr std::int64_t kFileBytes = 256LL * 1024 * 1024;

// The files of this run, removed when the program ends. The source is written once, then read
// once so that every benchmark finds it in the page cache.
class BenchFiles {
 public:
  BenchFiles()
      : folder_(boost::filesystem::temp_directory_path() /
                boost::filesystem::unique_path("plinth-integrity-bench-%%%%-%%%%")) {
    boost::filesystem::create_directories(folder_);
    std::mt19937_64 random(256);
    std::vector<std::uint64_t> block(1 << 17);
    boost::filesystem::ofstream out(Source(), std::ios::binary);
    for (std::int64_t done = 0; done < kFileBytes; done += 1 << 20) {
      for (auto& word : block) word = random();
      out.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
    }
    out.close();
    std::uint32_t ignored = 0;
    std::string error;
    if (!out || !Melvo::ComputeCRC32Checksum(Source(), ignored, error, {})) {
      throw std::runtime_error("cannot prepare the source file: " + error);
    }
  }
  ~BenchFiles() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(folder_, ignored);
  }
  std::string Source() const { return (folder_ / "source").string(); }
  std::string File(const char* name) const { return (folder_ / name).string(); }

 private:
  boost::filesystem::path folder_;
};

const BenchFiles& Files() {
  static const BenchFiles files;
  return files;
}

std::uint32_t SourceChecksum() {
  static const std::uint32_t checksum = [] {
    std::uint32_t crc = 0;
    std::string error;
    Melvo::ComputeCRC32Checksum(Files().Source(), crc, error, {});
    return crc;
  }();
  return checksum;
}

// Runs a command with its output thrown away; true when it exits with 0.
bool Run(std::initializer_list<std::string> command) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return spawned == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void RunEach(benchmark::State& state, std::initializer_list<std::initializer_list<std::string>> commands) {
  Files();
  for (auto _ : state) {
    for (const auto& command : commands) {
      if (!Run(command)) {
        state.SkipWithError("a peer command failed");
        return;
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_ChecksumOurs(benchmark::State& state) {
  const std::string source = Files().Source();
  for (auto _ : state) {
    std::uint32_t crc = 0;
    std::string error;
    if (!Melvo::ComputeCRC32Checksum(source, crc, error, {})) {
      state.SkipWithError(error.c_str());
      return;
    }
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_ChecksumRhash(benchmark::State& state) {
  RunEach(state, {{"rhash", "--crc32", Files().Source()}});
}

void BM_ChecksumCat(benchmark::State& state) {
  RunEach(state, {{"cat", Files().Source()}});
}

void BM_ChecksumZlib(benchmark::State& state) {
  const std::string source = Files().Source();
  std::vector<unsigned char> block(1 << 20);
  for (auto _ : state) {
    const int fd = open(source.c_str(), O_RDONLY);
    uLong crc = crc32(0, nullptr, 0);
    for (ssize_t got; (got = read(fd, block.data(), block.size())) > 0;) {
      crc = crc32(crc, block.data(), static_cast<uInt>(got));
    }
    close(fd);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_CopyOurs(benchmark::State& state) {
  const std::string source = Files().Source();
  const std::string destination = Files().File("copy-ours");
  for (auto _ : state) {
    std::string error;
    if (!Melvo::FileCopy(source, destination, error, {})) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_CopyCp(benchmark::State& state) {
  RunEach(state, {{"cp", Files().Source(), Files().File("copy-cp")}});
}

void BM_VerifiedCopyOurs(benchmark::State& state) {
  const std::string source = Files().Source();
  const std::string destination = Files().File("verified-ours");
  const std::uint32_t expected = SourceChecksum();
  for (auto _ : state) {
    std::string error;
    if (!Melvo::FileCopyWithCRC32(source, destination, expected, error, {})) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_VerifiedCopyCpRhash(benchmark::State& state) {
  const std::string destination = Files().File("verified-cp");
  RunEach(state, {{"cp", Files().Source(), destination}, {"rhash", "--crc32", destination}});
}

}  // namespace

BENCHMARK(BM_ChecksumOurs)->Name("Checksum256MiB/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ChecksumCat)->Name("Checksum256MiB/peer-cat")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ChecksumZlib)->Name("Checksum256MiB/peer-zlib")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ChecksumRhash)->Name("Checksum256MiB/peer-rhash")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyOurs)->Name("Copy256MiB/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyCp)->Name("Copy256MiB/peer-cp")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VerifiedCopyOurs)->Name("VerifiedCopy256MiB/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VerifiedCopyCpRhash)
    ->Name("VerifiedCopy256MiB/peer-cp+rhash")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
