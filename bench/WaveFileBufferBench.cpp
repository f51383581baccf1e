// WAVE file writing and reading in 4 KiB blocks against libsndfile. Writing keeps the header current
// after every block on both sides (libsndfile with its automatic header update); reading takes the
// raw audio bytes back in 4 KiB blocks.
#include <Plinth/WaveFileBuffer.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <boost/filesystem/operations.hpp>

namespace {

constexpr std::uint32_t kBlockSize = 4096;
constexpr std::int64_t kTotalBytes = 64LL * 1024 * 1024;
constexpr std::uint32_t kSampleRate = 44100;
constexpr std::int16_t kChannels = 2;
constexpr std::int16_t kBits = 16;

// A folder for the files of this run, removed when the program ends.
class BenchFolder {
 public:
  BenchFolder()
      : path_(boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path("plinth-wave-bench-%%%%-%%%%")) {
    boost::filesystem::create_directories(path_);
  }
  ~BenchFolder() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path_, ignored);
  }
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  boost::filesystem::path path_;
};

const BenchFolder& Folder() {
  static const BenchFolder folder;
  return folder;
}

const std::vector<char>& Block() {
  static const std::vector<char> block = [] {
    std::vector<char> bytes(kBlockSize);
    for (std::uint32_t i = 0; i < kBlockSize; ++i) bytes[i] = static_cast<char>(i * 31 + 7);
    return bytes;
  }();
  return block;
}

void WriteOurs(const std::string& name) {
  Melvo::WaveFileBuffer wave;
  if (!wave.Create(name, kSampleRate, kChannels, kBits)) throw std::runtime_error("cannot create " + name);
  for (std::int64_t done = 0; done < kTotalBytes; done += kBlockSize) {
    if (!wave.WriteDataToFile(Block().data(), kBlockSize)) throw std::runtime_error("cannot write " + name);
  }
}

// The file both readers read: written once, by this library.
const std::string& ReadSource() {
  static const std::string name = [] {
    std::string file = Folder().File("read-source.wav");
    WriteOurs(file);
    return file;
  }();
  return name;
}

void BM_WriteOurs(benchmark::State& state) {
  const std::string name = Folder().File("ours.wav");
  for (auto _ : state) WriteOurs(name);
  state.SetBytesProcessed(state.iterations() * kTotalBytes);
}

void BM_WritePeer(benchmark::State& state) {
  const std::string name = Folder().File("peer.wav");
  for (auto _ : state) {
    SF_INFO info{};
    info.samplerate = kSampleRate;
    info.channels = kChannels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(name.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
      state.SkipWithError(sf_strerror(nullptr));
      return;
    }
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    for (std::int64_t done = 0; done < kTotalBytes; done += kBlockSize) {
      sf_write_raw(file, Block().data(), kBlockSize);
    }
    sf_close(file);
  }
  state.SetBytesProcessed(state.iterations() * kTotalBytes);
}

void BM_ReadOurs(benchmark::State& state) {
  const std::string& name = ReadSource();
  std::vector<char> block(kBlockSize);
  for (auto _ : state) {
    Melvo::WaveFileBuffer wave;
    if (!wave.Load(name)) {
      state.SkipWithError("cannot load the source file");
      return;
    }
    std::uint32_t got = 0;
    std::int64_t total = 0;
    while (wave.ReadDataFromFile(block.data(), got, kBlockSize)) total += got;
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() * kTotalBytes);
}

void BM_ReadPeer(benchmark::State& state) {
  const std::string& name = ReadSource();
  std::vector<char> block(kBlockSize);
  for (auto _ : state) {
    SF_INFO info{};
    SNDFILE* file = sf_open(name.c_str(), SFM_READ, &info);
    if (file == nullptr) {
      state.SkipWithError(sf_strerror(nullptr));
      return;
    }
    std::int64_t total = 0;
    while (sf_count_t got = sf_read_raw(file, block.data(), kBlockSize)) total += got;
    benchmark::DoNotOptimize(total);
    sf_close(file);
  }
  state.SetBytesProcessed(state.iterations() * kTotalBytes);
}

}  // namespace

BENCHMARK(BM_WriteOurs)->Name("Write64MiB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePeer)->Name("Write64MiB/peer")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadOurs)->Name("Read64MiB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPeer)->Name("Read64MiB/peer")->Unit(benchmark::kMillisecond);
