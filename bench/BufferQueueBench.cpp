// One captured packet of 4 KiB: acquire a buffer, fill it, let it go. Ours recycles the buffer
// through a BufferQueue; the peer allocates a fresh shared vector for every packet, as code
// without a pool does.
//   AcquireFillRelease4KiB         every thread acquires and releases its own packets; with two
//                                  threads both share one pool.
//   CaptureToConsumer4KiB          a capture service's pattern: thread 0 acquires and fills, thread
//                                  1 releases, the packets passed through a lock-free queue.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <boost/lockfree/spsc_queue.hpp>

#include <Plinth/BufferQueue.h>

namespace {

constexpr std::size_t kPacketBytes = 4096;
constexpr std::size_t kQueueSlots = 64;

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
Melvo::BufferQueue& SharedPool() {
  static std::shared_ptr<Melvo::BufferQueue> pool = Melvo::BufferQueue::Create(kQueueSlots + 8, kPacketBytes);
  return *pool;
}

// The two sides' ways of getting a filled packet.
struct Pooled {
  using Packet = std::shared_ptr<Melvo::ManagedBuffer>;
  static Packet Make() {
    Packet handle = SharedPool().AcquireBuffer(kPacketBytes, true);
    Melvo::Buffer& buffer = *handle->GetBuffer();
    Fill(buffer.GetBufferPtr(0));
    buffer.SetUsedSize(kPacketBytes);
    benchmark::DoNotOptimize(buffer.GetBufferPtr(0));
    return handle;
  }
};

struct Fresh {
  using Packet = std::shared_ptr<std::vector<char>>;
  static Packet Make() {
    Packet packet = std::make_shared<std::vector<char>>(kPacketBytes);
    Fill(packet->data());
    benchmark::DoNotOptimize(packet->data());
    return packet;
  }
};

template <typename Side>
void AcquireFillRelease(benchmark::State& state) {
  for (auto _ : state) {
    typename Side::Packet packet = Side::Make();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPacketBytes));
}

// Every thread runs the same number of iterations, so the consumer takes exactly what the
// producer gives. A side that finds the queue full or empty yields, so that a machine with other
// work to do does not turn the wait into whole time slices of spinning.
template <typename Side>
void CaptureToConsumer(benchmark::State& state) {
  static boost::lockfree::spsc_queue<typename Side::Packet, boost::lockfree::capacity<kQueueSlots>> queue;
  if (state.thread_index() == 0) {
    for (auto _ : state) {
      typename Side::Packet packet = Side::Make();
      while (!queue.push(packet)) std::this_thread::yield();
    }
  } else {
    for (auto _ : state) {
      typename Side::Packet packet;
      while (!queue.pop(packet)) std::this_thread::yield();
      benchmark::DoNotOptimize(packet.get());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPacketBytes));
}

BENCHMARK(AcquireFillRelease<Pooled>)->Name("AcquireFillRelease4KiB/ours");
BENCHMARK(AcquireFillRelease<Fresh>)->Name("AcquireFillRelease4KiB/peer");
BENCHMARK(AcquireFillRelease<Pooled>)->Name("AcquireFillRelease4KiB/ours")->Threads(2)->UseRealTime();
BENCHMARK(AcquireFillRelease<Fresh>)->Name("AcquireFillRelease4KiB/peer")->Threads(2)->UseRealTime();
BENCHMARK(CaptureToConsumer<Pooled>)->Name("CaptureToConsumer4KiB/ours")->Threads(2)->UseRealTime();
BENCHMARK(CaptureToConsumer<Fresh>)->Name("CaptureToConsumer4KiB/peer")->Threads(2)->UseRealTime();

}  // namespace
