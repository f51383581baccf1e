// One captured packet of 4 KiB: acquire a buffer, fill it, let it go. Ours recycles the buffer
// through a BufferQueue; the peer allocates a fresh shared vector for every packet, as code
// without a pool does. The threaded variants share one pool between the threads.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include <Plinth/BufferQueue.h>

namespace {

constexpr std::size_t kPacketBytes = 4096;

const std::array<char, kPacketBytes>& Captured() {
  static const std::array<char, kPacketBytes> bytes = [] {
    std::array<char, kPacketBytes> filled{};
    for (std::size_t i = 0; i < filled.size(); ++i) filled[i] = static_cast<char>(i * 31);
    return filled;
  }();
  return bytes;
}

// The packet's bytes arrive from a capture device, through code the optimiser cannot see into: the
// packet memory escapes before it is filled, so neither side's preparation of it is optimised away
// (the vector's zero-filling is part of what a fresh vector costs).
void Fill(char* destination) {
  benchmark::DoNotOptimize(destination);
  benchmark::ClobberMemory();
  std::memcpy(destination, Captured().data(), kPacketBytes);
}

// Shared by every thread of a run, and sized so that no thread ever waits for a free buffer.
std::shared_ptr<Melvo::BufferQueue>& SharedPool() {
  static std::shared_ptr<Melvo::BufferQueue> pool = Melvo::BufferQueue::Create(8, kPacketBytes);
  return pool;
}

void Pool(benchmark::State& state) {
  Melvo::BufferQueue& pool = *SharedPool();
  for (auto _ : state) {
    std::shared_ptr<Melvo::ManagedBuffer> handle = pool.AcquireBuffer(kPacketBytes, true);
    Melvo::Buffer& buffer = *handle->GetBuffer();
    Fill(buffer.GetBufferPtr(0));
    buffer.SetUsedSize(kPacketBytes);
    benchmark::DoNotOptimize(buffer.GetBufferPtr(0));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPacketBytes));
}

void FreshVector(benchmark::State& state) {
  for (auto _ : state) {
    auto buffer = std::make_shared<std::vector<char>>(kPacketBytes);
    Fill(buffer->data());
    benchmark::DoNotOptimize(buffer->data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPacketBytes));
}

BENCHMARK(Pool)->Name("AcquireFillRelease4KiB/ours");
BENCHMARK(FreshVector)->Name("AcquireFillRelease4KiB/peer");
BENCHMARK(Pool)->Name("AcquireFillRelease4KiB/ours")->Threads(2)->UseRealTime();
BENCHMARK(FreshVector)->Name("AcquireFillRelease4KiB/peer")->Threads(2)->UseRealTime();

}  // namespace
