// Buffer, BufferQueue and ManagedBuffer: the bytes a buffer keeps as it grows, copies and resizes;
// buffers moving between free, in use and destroyed, the resize rule of acquisition, failed
// allocations, and use from many threads.
#include <Plinth/Buffer.h>
#include <Plinth/BufferQueue.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "support/LogCapture.h"

// Allocation failures on purpose, on the calling thread only: the allocation that many from now, or
// every one of exactly that many bytes. Replaced in pairs, so that a sanitizer's own operators never
// see a block of the other; GCC cannot see that malloc pairs with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
thread_local int t_failCountdown = 0;
thread_local std::size_t t_failSize = 0;
void* operator new(std::size_t size) {
  const bool fail =
      (t_failCountdown > 0 && --t_failCountdown == 0) || (t_failSize != 0 && size == t_failSize);
  void* block = fail ? nullptr : std::malloc(size == 0 ? 1 : size);
  return block != nullptr ? block : throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

namespace {

using Melvo::Buffer;
using Melvo::BufferQueue;
using PlinthTest::LogCapture;

// The valid bytes and the reserved size.
std::string Seen(Buffer& buffer) {
  const char* bytes = buffer.GetBufferPtr();
  return (bytes ? std::string(bytes, buffer.GetUsedSize()) : "") + "/" +
         std::to_string(buffer.GetReservedSize());
}

// Appends grow the block to exactly the size needed, also from itself, and never read past a block
// whose used size was set beyond it (AddressSanitizer sees such reads). Copies make room for the
// reserve and never write over wrapped memory; resizing keeps the valid bytes that fit.
TEST(Buffer, KeepsTheValidBytesThroughAppendsCopiesAndResizes) {
  auto buffer = Buffer::Create(0), other = Buffer::Create(8);
  other->CopyBufferPtr("ABCDEFGH", 8, 0);
  other->SetUsedSize(4000);
  buffer->AppendDataPtr("abcd", 4);
  buffer->AppendBufferData(buffer);
  buffer->AppendBufferData(other);
  buffer->SetUsedSize(6);
  buffer->AppendDataPtr(buffer->GetBufferPtr(2), 8);  // overlapping, without growth: read as it was
  buffer->SetUsedSize(100);
  buffer->AppendDataPtr("+", 1);
  std::string foreign(64, 'f'), seen = Seen(*buffer) + " ";
  buffer = Buffer::Create(0);
  buffer->SetBufferPtr(foreign.data(), 0, 64, false);
  const auto copy = [&](const char* source, std::size_t size, std::size_t reserve) {
    // "=": the block was kept. A new one may lie where a freed one lay, so only a kept size counts.
    const char* block = buffer->GetBufferPtr(0);
    const std::size_t reserved = buffer->GetReservedSize();
    buffer->CopyBufferPtr(source, size, reserve);
    seen += (reserve <= reserved && block == buffer->GetBufferPtr(0) ? "= " : "") + Seen(*buffer) + " ";
  };
  copy("data", 4, 0);
  copy("0123456789", 10, 500);
  copy(buffer->GetBufferPtr(2), 4, 20);   // from itself, into a block large enough
  copy(buffer->GetBufferPtr(0), 4, 600);  // from itself, into a new block
  copy(nullptr, 0, 601);                  // a reserve beyond the block drops it, even without a source
  copy("0123456789", 10, 0);
  for (const std::size_t size : {10, 20, 4}) buffer->SetReservedSize(size, true);
  EXPECT_EQ(seen + Seen(*buffer) + foreign,
            "abcdabcdabcdABGH+/101 data/64 0123456789/500 = 2345/500 2345/600 /0 0123456789/10 0123/4" +
                std::string(64, 'f'));
  LogCapture::Take();
}

std::string State(const BufferQueue& pool) {
  return fmt::format("{} free {} used {} capacity{}{}", pool.GetFreeQueueSize(), pool.GetUsedQueueSize(),
                     pool.QueueCapacity(), pool.IsFull() ? " full" : "", pool.IsEmpty() ? " empty" : "");
}

// One pool through a burst and back: growth on demand, the refusals (logged), reclaiming the
// oldest, and shrinking while buffers are in use. A buffer handed out grows to the pool's buffer
// size; above 2048 bytes it shrinks to it when more than twice as large. A larger request raises
// that size for good.
TEST(BufferQueue, BuffersMoveBetweenFreeInUseAndDestroyed) {
  auto pool = BufferQueue::Create(2, 256);
  std::vector<std::shared_ptr<Melvo::ManagedBuffer>> handles(5);
  std::vector<std::weak_ptr<Buffer>> buffers;
  for (auto& handle : handles) buffers.push_back((handle = pool->AcquireBuffer(100, true))->GetBuffer());
  EXPECT_THROW(pool->AcquireBuffer(100, false), BufferQueue::BufferQueueException);
  auto stranger = Buffer::Create(8);  // numbered 0, never lent by the pool
  stranger->SetManager(pool);
  Melvo::ManagedBuffer{stranger};
  std::string seen;
  for (const auto& r : LogCapture::Take())
    seen += fmt::format("{} {} {}: {}|", r.logger, r.file, r.function, r.text);
  const std::string origin = "vorn.Plinth.BufferQueue src/BufferQueue Melvo::BufferQueue::";
  EXPECT_EQ(seen, origin + "AcquireBuffer: No buffers left in the free list|" + origin +
                      "RecycleBuffer: Tried to recycle buffer 0 which was never in use|");
  EXPECT_EQ(std::to_string(pool->ReclaimMemory() + buffers[4].lock()->GetReservedSize()) + " " + State(*pool),
            "100 0 free 5 used 5 capacity empty");
  handles.assign(3, nullptr);
  EXPECT_EQ(State(*pool), "5 free 0 used 5 capacity full") << "buffers made for a burst join the pool";
  EXPECT_EQ(pool->ReclaimMemory(), 1u) << "past twice the first capacity";
  pool->SetQueueCapacity(3);
  pool->SetBufferSize(3000);
  handles = {pool->AcquireBuffer(0, false), pool->AcquireBuffer(0, false), pool->AcquireBuffer(0, false)};
  pool->SetQueueCapacity(1);  // fewer than in use: they are dropped as they come back, but the last
  handles.clear();
  seen.clear();
  for (const auto& [size, request] :
       {std::pair<std::size_t, std::size_t>{1500, 0}, {1499, 0}, {0, 0}, {0, 4096}}) {
    pool->SetBufferSize(size);
    seen += std::to_string(pool->AcquireBuffer(request, false)->GetBuffer()->GetReservedSize()) + " ";
  }
  for (const auto& buffer : buffers) seen += buffer.expired() ? "-" : "+";
  EXPECT_EQ(seen + std::to_string(pool->AcquireBuffer(0, false)->GetBuffer()->GetReservedSize()) + " " +
                State(*pool),
            "3000 1499 1499 4096 ----+4096 1 free 0 used 1 capacity full")
      << "the oldest go first";
  LogCapture::Take();
}

// An allocation failing inside an acquisition passes through and leaves the pool as it was, with
// nothing to hand back and so no message; so does the largest possible append.
TEST(BufferQueue, FailedAllocationsChangeNothing) {
  t_failSize = 4096;
  try {
    Buffer::Create(4096);
    GTEST_SKIP() << "the library's allocations do not reach this program's operator new";
  } catch (const std::bad_alloc&) {
  }
  auto pool = BufferQueue::Create(0, 64);
  auto buffer = Buffer::Create(1);
  buffer->AppendDataPtr("a", 1);
  t_failSize = SIZE_MAX;
  EXPECT_THROW(buffer->AppendDataPtr("b", SIZE_MAX - 1), std::bad_alloc) << "a total of SIZE_MAX bytes";
  t_failSize = 0;
  EXPECT_THROW(buffer->AppendDataPtr("b", SIZE_MAX), std::length_error) << "a total past SIZE_MAX";
  LogCapture::Take();
  int failing = 0;
  for (std::shared_ptr<Melvo::ManagedBuffer> handle; !handle && failing < 100;) {
    t_failCountdown = ++failing;
    try {
      handle = pool->AcquireBuffer(100, true);
    } catch (const std::bad_alloc&) {
      EXPECT_EQ(State(*pool) + std::to_string(LogCapture::Take().size()),
                "0 free 0 used 0 capacity full empty0");
    }
  }
  t_failCountdown = 0;
  EXPECT_GE(failing, 4) << "the handle, the buffer and its block at least";
  EXPECT_EQ(State(*pool) + std::to_string(pool->GetBufferSize() + buffer->GetUsedSize()),
            "1 free 0 used 1 capacity full65");
}

// Threads fill buffers with their own mark while the main thread resizes and reclaims the pool: a
// buffer handed to two holders at once would show a foreign mark.
TEST(BufferQueue, ConcurrentUseNeverSharesABufferAndBalancesAtTheEnd) {
  auto pool = BufferQueue::Create(4, 512);
  std::atomic<int> working{3}, corrupted{0};
  auto work = [&](char mark) {
    for (std::size_t i = 0; i < 5000; ++i) {
      auto handle = pool->AcquireBuffer(256 + i % 4 * 700, true);
      const std::string bytes(handle->GetBuffer()->GetReservedSize(), mark);
      handle->GetBuffer()->AppendDataPtr(bytes.data(), bytes.size());
      std::this_thread::yield();
      corrupted +=
          std::string(handle->GetBuffer()->GetBufferPtr(0), handle->GetBuffer()->GetUsedSize()) != bytes;
    }
    --working;
  };
  std::thread a(work, 'A'), b(work, 'B'), c(work, 'C');
  for (std::size_t round = 0; working > 0; ++round) {
    pool->SetQueueCapacity(2 + round % 7);
    pool->SetBufferSize(round % 2 == 0 ? 512 : 3000);
    pool->ReclaimMemory();
  }
  for (std::thread* thread : {&a, &b, &c}) thread->join();
  EXPECT_EQ(corrupted, 0);
  EXPECT_TRUE(pool->IsFull() && pool->GetUsedQueueSize() == 0) << State(*pool);
  for (const auto& r : LogCapture::Take()) EXPECT_NE(r.function, "Melvo::BufferQueue::RecycleBuffer");
}

// A thread that finds the pool held spins only briefly, then sleeps until it is free: it spends a
// small part of the half second it waits on the processor.
TEST(BufferQueue, AWaitingThreadSleepsRatherThanSpins) {
#ifndef CLOCK_THREAD_CPUTIME_ID
  GTEST_SKIP() << "no clock of a thread's processor time here";
#else
  auto pool = BufferQueue::Create(1, 16);
  timespec busy{};
  pool->GetMutex().lock();
  std::thread waiter([&] {
    pool->GetFreeQueueSize();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &busy);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  pool->GetMutex().unlock();
  waiter.join();
  EXPECT_LT(busy.tv_sec * 1000 + busy.tv_nsec / 1000000, 100) << "milliseconds on the processor";
#endif
}

}  // namespace
