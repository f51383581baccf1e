// BufferQueue and ManagedBuffer: how buffers move between free, in use and destroyed, the resize
// rule of acquisition, growing and reclaiming, refused hand-backs, and use from many threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <new>
#include <thread>
#include <vector>

#include <Plinth/BufferQueue.h>

#include "support/LogCapture.h"

// Allocation failures on purpose, on the calling thread only: the allocation that many allocations
// from now fails (countdown), or every allocation of exactly that many bytes (size). Blocks of
// exactly the tracked size are remembered until they are freed, to see that none is leaked.
// These replace the global operators and pair malloc with free, which GCC cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
thread_local int t_failCountdown = 0;
thread_local std::size_t t_failSize = 0;
thread_local std::size_t t_trackedSize = 0;
thread_local void* t_tracked[8] = {};
thread_local int t_trackedAllocations = 0;

void* operator new(std::size_t size) {
  if ((t_failCountdown > 0 && --t_failCountdown == 0) || (t_failSize != 0 && size == t_failSize)) {
    throw std::bad_alloc();
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  if (size == t_trackedSize) {
    void** slot = std::find(std::begin(t_tracked), std::end(t_tracked), nullptr);
    if (slot != std::end(t_tracked)) *slot = block;
    ++t_trackedAllocations;
  }
  return block;
}
void operator delete(void* block) noexcept {
  if (block != nullptr)
    std::replace(std::begin(t_tracked), std::end(t_tracked), block, static_cast<void*>(nullptr));
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  operator delete(block);
}

namespace {

using Melvo::Buffer;
using Melvo::BufferQueue;
using Melvo::ManagedBuffer;
using PlinthTest::LogCapture;

std::string State(const BufferQueue& pool) {
  return fmt::format("{} free {} used {} capacity{}{}", pool.GetFreeQueueSize(), pool.GetUsedQueueSize(),
                     pool.QueueCapacity(), pool.IsFull() ? " full" : "", pool.IsEmpty() ? " empty" : "");
}

// The text of the one message logged since the last look, once its level and origin are checked.
std::string PoolError(const std::string& function) {
  auto records = LogCapture::Take();
  if (records.size() != 1) return std::to_string(records.size()) + " messages";
  EXPECT_EQ(fmt::format("{} {} {} {}", spdlog::level::to_string_view(records[0].level), records[0].logger,
                        records[0].file, records[0].function),
            "error vorn.Plinth.BufferQueue src/BufferQueue Melvo::BufferQueue::" + function);
  return records[0].text;
}

// Identity numbers are not public: the pool names one when it refuses a second handle for a buffer.
// `handle` is the buffer's only handle: replacing it by a duplicate puts the buffer back on the free
// list, then dropping the duplicate is refused. Only logged: a throw out of the handle's destructor
// would end the run.
std::uint64_t IdentityOf(std::shared_ptr<ManagedBuffer> handle) {
  LogCapture::Take();
  handle = std::make_shared<ManagedBuffer>(*handle);
  handle.reset();
  const std::string text = PoolError("RecycleBuffer");
  const std::uint64_t id = std::strtoull(text.c_str() + std::min<std::size_t>(text.size(), 24), nullptr, 10);
  EXPECT_EQ(text, "Tried to recycle buffer " + std::to_string(id) + " which was never in use");
  return id;
}

// One pool through a burst and back: growth on demand, the refusal of an empty pool, reclaiming,
// identity numbers, shrinking while buffers are in use, and a handle outliving its pool.
TEST(BufferQueue, BuffersMoveBetweenFreeInUseAndDestroyed) {
  auto pool = BufferQueue::Create(2, 256);
  std::vector<std::shared_ptr<ManagedBuffer>> handles(7);
  std::vector<std::weak_ptr<Buffer>> buffers;
  for (auto& handle : handles) buffers.push_back((handle = pool->AcquireBuffer(100, true))->GetBuffer());
  EXPECT_EQ(handles[6]->GetBuffer()->GetReservedSize(), 100u) << "grown by the request, not the pool's size";
  try {
    pool->AcquireBuffer(100, false);
    ADD_FAILURE() << "an empty pool must refuse without permission to allocate";
  } catch (const BufferQueue::BufferQueueException& error) {
    EXPECT_STREQ(error.what(), "BufferQueue Exception: No buffers left in the free list");
  }
  EXPECT_EQ(PoolError("AcquireBuffer"), "No buffers left in the free list");
  // A free-standing buffer given to the pool goes back to it, which never handed it out.
  auto stranger = Buffer::Create(8);
  stranger->SetManager(pool);
  ManagedBuffer{stranger};
  EXPECT_EQ(PoolError("RecycleBuffer"), "Tried to recycle buffer 0 which was never in use");
  EXPECT_EQ(pool->ReclaimMemory(), 0u) << "buffers in use are never reclaimed";
  EXPECT_EQ(State(*pool), "0 free 7 used 7 capacity empty");
  for (auto& handle : handles) handle.reset();
  EXPECT_EQ(State(*pool), "7 free 0 used 7 capacity full") << "buffers made for a burst join the pool";
  EXPECT_EQ(pool->ReclaimMemory(), 3u);
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(buffers[i].expired(), i < 3) << "oldest go first: " << i;

  // The four kept have consecutive identity numbers; refusing second handles changes nothing.
  for (std::size_t i = 0; i < 4; ++i) handles[i] = pool->AcquireBuffer(0, false);
  const std::uint64_t first = IdentityOf(std::move(handles[0]));
  for (std::uint64_t i = 1; i < 4; ++i) EXPECT_EQ(IdentityOf(std::move(handles[i])), first + i);
  EXPECT_EQ(State(*pool), "4 free 0 used 4 capacity full");
  pool->SetQueueCapacity(3);
  EXPECT_TRUE(buffers[3].expired() && !buffers[4].expired()) << "shrinking destroys the oldest free buffer";

  // Shrunk below the buffers in use, the pool drops them as they come back, keeping the last.
  for (std::size_t i = 0; i < 3; ++i) handles[i] = pool->AcquireBuffer(0, false);
  pool->SetQueueCapacity(1);
  EXPECT_EQ(State(*pool), "0 free 3 used 1 capacity empty");
  for (std::size_t i = 0; i < 3; ++i) handles[i].reset();
  EXPECT_TRUE(buffers[4].expired() && buffers[5].expired() && !buffers[6].expired());
  EXPECT_EQ(State(*pool), "1 free 0 used 1 capacity full");

  // The kept buffer's handle outlives the pool; the buffer dies with it.
  handles[0] = pool->AcquireBuffer(0, false);
  pool.reset();
  handles[0]->GetBuffer()->AppendDataPtr("still usable", 12);
  EXPECT_EQ(std::string(handles[0]->GetBuffer()->GetBufferPtr(0), 12), "still usable");
  handles[0].reset();
  EXPECT_TRUE(buffers[6].expired());
}

// Up to 2048 bytes a free buffer is never shrunk, above that only when more than twice the pool's
// buffer size; a larger request raises that size for good, so the next buffer handed out gets it too.
TEST(BufferQueue, HandedOutBuffersFollowTheResizeRule) {
  const std::size_t cases[][4] = {{2048, 1000, 0, 2048},   {2049, 1000, 0, 1000}, {3000, 1500, 0, 3000},
                                  {3001, 1500, 0, 1500},   {4096, 0, 0, 0},       {0, 0, 0, 0},
                                  {1024, 1024, 4096, 4096}};
  for (const auto& [reserved, bufferSize, request, expected] : cases) {
    SCOPED_TRACE(testing::Message() << reserved << " bytes, size " << bufferSize << ", request " << request);
    auto pool = BufferQueue::Create(1, reserved);
    pool->SetQueueCapacity(2);  // grown by one buffer of the pool's size
    ASSERT_EQ(pool->GetFreeQueueSize(), 2u);
    pool->SetBufferSize(bufferSize);
    // The first stays in use, so the second request gets the other buffer.
    for (auto& handle : {pool->AcquireBuffer(request, false), pool->AcquireBuffer(0, false)})
      EXPECT_TRUE(handle->GetBuffer()->GetReservedSize() == expected && handle->GetBuffer()->IsOwner() &&
                  (handle->GetBuffer()->GetBufferPtr() != nullptr) == (expected != 0))
          << handle->GetBuffer()->GetReservedSize();
    EXPECT_EQ(pool->GetBufferSize(), std::max(bufferSize, request));
  }
  LogCapture::Take();
}

bool LibraryAllocationsReachThisProgram() {
  t_failSize = 4096;
  try {
    Buffer::Create(4096);
  } catch (const std::bad_alloc&) {
    t_failSize = 0;
    return true;
  }
  t_failSize = 0;
  return false;
}

constexpr char kAllocationsOutOfReach[] =
    "the library's allocations do not reach this program's operator new (a sanitizer's allocator, or a "
    "DLL's own, serves them)";

// Every block is freed: by a resize, by a copy that needs a larger one, by its buffer's end, with
// the pool's buffers.
TEST(BufferQueue, FreesEveryBlockItMade) {
  if (!LibraryAllocationsReachThisProgram()) GTEST_SKIP() << kAllocationsOutOfReach;
  const auto live = [] {
    return std::count_if(std::begin(t_tracked), std::end(t_tracked),
                         [](void* block) { return block != nullptr; });
  };
  t_trackedSize = 12345;
  {
    auto pool = BufferQueue::Create(2, 12345);
    auto handle = pool->AcquireBuffer(0, false);
    auto loose = Buffer::Create(12345);
    loose->SetReservedSize(12345 * 2, true);
    auto emptied = Buffer::Create(12345);
    emptied->SetReservedSize(0, false);
    auto reserved = Buffer::Create(12345);
    reserved->CopyBufferPtr("x", 1, 12345 * 2);
    auto outgrown = Buffer::Create(12345);
    const std::string larger(12345 * 2, 'x');
    outgrown->CopyBufferPtr(larger.data(), larger.size(), 0);
    EXPECT_EQ(live(), 2);
    auto exact = Buffer::Create(12345);
    const int allocations = t_trackedAllocations;
    exact->CopyBufferPtr("x", 1, 12345);
    EXPECT_EQ(t_trackedAllocations, allocations) << "a block exactly the reserve is kept";
  }
  t_trackedSize = 0;
  EXPECT_EQ(live(), 0);
}

// An allocation that fails inside an acquisition passes through and leaves the pool as it was,
// with nothing to hand back and so no message: each allocation of a growing acquisition is failed
// in turn, then the reallocation of a free buffer too small for the request.
TEST(BufferQueue, FailedAllocationsLeaveThePoolAsItWas) {
  if (!LibraryAllocationsReachThisProgram()) GTEST_SKIP() << kAllocationsOutOfReach;
  auto pool = BufferQueue::Create(0, 64);
  LogCapture::Take();
  int failures = 0;
  for (int failing = 1; failures < 100; ++failing, ++failures) {
    t_failCountdown = failing;
    try {
      auto handle = pool->AcquireBuffer(100, true);
      break;
    } catch (const std::bad_alloc&) {
      t_failCountdown = 0;
      EXPECT_EQ(State(*pool), "0 free 0 used 0 capacity full empty") << "allocation " << failing;
      EXPECT_TRUE(LogCapture::Take().empty()) << "allocation " << failing;
    }
  }
  t_failCountdown = 0;
  EXPECT_GE(failures, 3) << "the handle, the buffer and its block at least";
  EXPECT_EQ(State(*pool), "1 free 0 used 1 capacity full");

  t_failSize = 4096;
  EXPECT_THROW(pool->AcquireBuffer(4096, true), std::bad_alloc);
  t_failSize = 0;
  EXPECT_EQ(State(*pool), "1 free 0 used 1 capacity full");
  EXPECT_EQ(pool->GetBufferSize(), 64u);
  EXPECT_EQ(pool->AcquireBuffer(0, false)->GetBuffer()->GetReservedSize(), 100u);
  LogCapture::Take();
}

// Threads fill buffers with their own mark and trade the handles through one slot, so that buffers
// go back on other threads, while the main thread resizes and reclaims the pool. A buffer handed to
// two holders at once would show a foreign mark.
TEST(BufferQueue, ConcurrentUseNeverSharesABufferAndBalancesAtTheEnd) {
  auto pool = BufferQueue::Create(4, 512);
  auto slot = std::make_shared<std::pair<std::string, std::shared_ptr<ManagedBuffer>>>(
      "", pool->AcquireBuffer(0, false));
  std::atomic<int> working{3}, corrupted{0};
  auto work = [&](char mark) {
    for (std::size_t i = 0; i < 5000; ++i) {
      auto handle = pool->AcquireBuffer(256 + i % 4 * 700, true);
      const std::string bytes(handle->GetBuffer()->GetReservedSize(), mark);
      handle->GetBuffer()->AppendDataPtr(bytes.data(), bytes.size());
      auto other = std::atomic_exchange(&slot, std::make_shared<decltype(slot)::element_type>(bytes, handle));
      Buffer& seen = *other->second->GetBuffer();
      corrupted += std::string(seen.GetBufferPtr(0), seen.GetUsedSize()) != other->first;
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
  slot.reset();
  EXPECT_EQ(corrupted, 0);
  EXPECT_TRUE(pool->IsFull() && pool->GetUsedQueueSize() == 0) << State(*pool);
  for (const auto& r : LogCapture::Take()) EXPECT_NE(r.function, "Melvo::BufferQueue::RecycleBuffer");
}

}  // namespace
