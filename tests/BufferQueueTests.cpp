// BufferQueue and ManagedBuffer: how buffers move between free, in use and destroyed, the resize
// rule of acquisition, shrinking and reclaiming, refused hand-backs, and use from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Plinth/BufferQueue.h>

#include "support/LogCapture.h"

namespace {

using Melvo::Buffer;
using Melvo::BufferQueue;
using Melvo::ManagedBuffer;
using PlinthTest::LogCapture;
using PlinthTest::LogRecord;

// A buffer's identity number is not public: tests follow buffers by their blocks and by weak
// references, and read the number from the pool's messages where it matters.
std::vector<std::shared_ptr<ManagedBuffer>> AcquireAll(BufferQueue& pool, std::size_t count,
                                                       std::size_t size) {
  std::vector<std::shared_ptr<ManagedBuffer>> handles;
  for (std::size_t i = 0; i < count; ++i) handles.push_back(pool.AcquireBuffer(size, true));
  return handles;
}

// A pooled buffer's identity number, read from the pool's refusal of a second handle for it. The
// buffer goes back to the free list on the way, when `handle` is its last handle.
std::uint64_t IdentityOf(std::shared_ptr<ManagedBuffer> handle) {
  LogCapture::Take();
  auto duplicate = std::make_unique<ManagedBuffer>(*handle);
  handle.reset();
  duplicate.reset();
  auto records = LogCapture::Take();
  const std::string prefix = "Tried to recycle buffer ";
  if (records.size() != 1 || records[0].text.rfind(prefix, 0) != 0) {
    ADD_FAILURE() << "expected the refusal of a second handle";
    return 0;
  }
  return std::stoull(records[0].text.substr(prefix.size()));
}

void ExpectPoolError(const LogRecord& record, const std::string& function, const std::string& text) {
  EXPECT_EQ(record.level, spdlog::level::err);
  EXPECT_EQ(record.logger, "vorn.Plinth.BufferQueue");
  EXPECT_EQ(record.file, "src/BufferQueue");
  EXPECT_EQ(record.function, function);
  EXPECT_EQ(record.text, text);
}

TEST(BufferQueue, BuffersGoBackWithTheirLastHandle) {
  auto pool = BufferQueue::Create(4, 1024);
  EXPECT_EQ(pool->QueueCapacity(), 4u);
  EXPECT_EQ(pool->GetFreeQueueSize(), 4u);
  EXPECT_EQ(pool->GetBufferSize(), 1024u);
  EXPECT_TRUE(pool->IsFull());
  EXPECT_FALSE(pool->IsEmpty());

  auto handle = pool->AcquireBuffer(10, false);
  EXPECT_EQ(handle->GetBuffer()->GetReservedSize(), 1024u) << "a smaller request never shrinks a buffer";
  EXPECT_EQ(pool->GetUsedQueueSize(), 1u);
  EXPECT_FALSE(pool->IsFull());
  std::weak_ptr<Buffer> buffer = handle->GetBuffer();
  handle->GetBuffer()->AppendDataPtr("packet", 6);

  auto sharedHandle = handle;  // shares the handle, not a second handle
  handle.reset();
  EXPECT_EQ(pool->GetUsedQueueSize(), 1u) << "another reference to the handle keeps the buffer out";
  sharedHandle.reset();
  EXPECT_EQ(pool->GetUsedQueueSize(), 0u);
  EXPECT_TRUE(pool->IsFull());
  ASSERT_FALSE(buffer.expired()) << "a returned buffer lives on in the free list";
  EXPECT_EQ(buffer.lock()->GetUsedSize(), 0u);
  EXPECT_TRUE(LogCapture::Take().empty());
}

TEST(BufferQueue, EmptyPoolRefusesOrGrowsByExactlyTheRequestedSize) {
  auto pool = BufferQueue::Create(0, 1024);
  EXPECT_TRUE(pool->IsEmpty());
  EXPECT_TRUE(pool->IsFull());

  try {
    pool->AcquireBuffer(100, false);
    FAIL() << "an empty pool must refuse without permission to allocate";
  } catch (const BufferQueue::BufferQueueException& error) {
    EXPECT_STREQ(error.what(), "BufferQueue Exception: No buffers left in the free list");
  }
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  ExpectPoolError(records[0], "Melvo::BufferQueue::AcquireBuffer", "No buffers left in the free list");
  EXPECT_EQ(pool->QueueCapacity(), 0u);
  EXPECT_EQ(pool->GetUsedQueueSize(), 0u);

  auto grown = pool->AcquireBuffer(500, true);
  EXPECT_EQ(grown->GetBuffer()->GetReservedSize(), 500u);
  EXPECT_EQ(pool->GetBufferSize(), 1024u) << "growth does not change the pool's buffer size";
  EXPECT_EQ(pool->QueueCapacity(), 1u);
  EXPECT_EQ(pool->GetUsedQueueSize(), 1u);
  grown.reset();
  EXPECT_EQ(pool->GetFreeQueueSize(), 1u) << "a buffer made for a burst joins the pool for good";
  EXPECT_TRUE(pool->IsFull());
}

TEST(BufferQueue, LargerRequestRaisesTheBufferSizeForGood) {
  auto pool = BufferQueue::Create(2, 1024);
  LogCapture::Take();
  auto big = pool->AcquireBuffer(4096, false);
  EXPECT_EQ(pool->GetBufferSize(), 4096u);
  EXPECT_EQ(big->GetBuffer()->GetReservedSize(), 4096u);
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, spdlog::level::info);
  EXPECT_EQ(records[0].logger, "vorn.Plinth.Buffer");
  EXPECT_EQ(records[0].function, "Melvo::Buffer::SetReservedSize");
  EXPECT_EQ(records[0].text, "Reallocating existing buffer of size 1024 for new buffer of size 4096.");

  auto small = pool->AcquireBuffer(100, false);
  EXPECT_EQ(small->GetBuffer()->GetReservedSize(), 4096u) << "the older 1024-byte buffer is brought up";
  EXPECT_EQ(pool->GetBufferSize(), 4096u);
  LogCapture::Take();
}

TEST(BufferQueue, OversizedFreeBuffersShrinkOnlyBeyondTheFloorAndTwiceTheSize) {
  struct Case {
    std::size_t reserved;
    std::size_t bufferSize;
    std::size_t expected;
  };
  const Case cases[] = {{2048, 1000, 2048}, {2049, 1000, 1000}, {3000, 1500, 3000},
                        {3001, 1500, 1500}, {2048, 10, 2048},   {4096, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.reserved) + " bytes with a buffer size of " + std::to_string(c.bufferSize));
    auto pool = BufferQueue::Create(1, c.reserved);
    pool->SetBufferSize(c.bufferSize);
    EXPECT_EQ(pool->GetBufferSize(), c.bufferSize);
    auto handle = pool->AcquireBuffer(0, false);
    EXPECT_EQ(handle->GetBuffer()->GetReservedSize(), c.expected);
  }
  LogCapture::Take();
}

TEST(BufferQueue, ReclaimKeepsTheNewestFreeBuffersUpToTwiceTheInitialCapacity) {
  auto pool = BufferQueue::Create(2, 256);
  auto burst = AcquireAll(*pool, 7, 256);
  EXPECT_EQ(pool->QueueCapacity(), 7u);
  EXPECT_EQ(pool->ReclaimMemory(), 0u) << "buffers in use are never reclaimed";

  std::vector<std::weak_ptr<Buffer>> buffers;
  for (auto& handle : burst) buffers.push_back(handle->GetBuffer());
  burst.clear();
  EXPECT_EQ(pool->GetFreeQueueSize(), 7u);

  EXPECT_EQ(pool->ReclaimMemory(), 3u);
  EXPECT_EQ(pool->GetFreeQueueSize(), 4u);
  EXPECT_EQ(pool->QueueCapacity(), 4u);
  EXPECT_TRUE(pool->IsFull());
  // Handed out oldest first, so the first three acquired were the oldest and are the ones gone.
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    EXPECT_EQ(buffers[i].expired(), i < 3) << "buffer " << i;
  }
  EXPECT_EQ(pool->ReclaimMemory(), 0u);
}

TEST(BufferQueue, ShrinkingWhileInUseDropsBuffersAsTheyComeBack) {
  auto pool = BufferQueue::Create(4, 128);
  auto inUse = AcquireAll(*pool, 3, 128);
  std::vector<std::weak_ptr<Buffer>> buffers;
  for (auto& handle : inUse) buffers.push_back(handle->GetBuffer());

  pool->SetQueueCapacity(1);
  EXPECT_EQ(pool->QueueCapacity(), 1u);
  EXPECT_EQ(pool->GetFreeQueueSize(), 0u);
  EXPECT_EQ(pool->GetUsedQueueSize(), 3u);

  inUse[0].reset();
  EXPECT_TRUE(buffers[0].expired());
  inUse[1].reset();
  EXPECT_TRUE(buffers[1].expired());
  EXPECT_EQ(pool->GetFreeQueueSize(), 0u);
  inUse[2].reset();
  EXPECT_FALSE(buffers[2].expired()) << "the pool is down to its capacity: the last one is kept";
  EXPECT_EQ(pool->GetFreeQueueSize(), 1u);
  EXPECT_TRUE(pool->IsFull());

  // Growing again makes new free buffers of the current size, handed out after the older one.
  pool->SetBufferSize(300);
  pool->SetQueueCapacity(3);
  EXPECT_EQ(pool->QueueCapacity(), 3u);
  EXPECT_EQ(pool->GetFreeQueueSize(), 3u);
  auto all = AcquireAll(*pool, 3, 0);
  EXPECT_EQ(all[0]->GetBuffer(), buffers[2].lock());
  EXPECT_EQ(all[1]->GetBuffer()->GetReservedSize(), 300u);
  EXPECT_EQ(all[2]->GetBuffer()->GetReservedSize(), 300u);
  LogCapture::Take();
}

TEST(BufferQueue, IdentityNumbersAreConsecutiveAndNeverReused) {
  auto pool = BufferQueue::Create(4, 32);
  std::vector<std::uint64_t> ids;
  for (auto& handle : AcquireAll(*pool, 4, 32)) ids.push_back(IdentityOf(std::move(handle)));
  for (std::size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(ids[i], ids[0] + i);

  auto other = BufferQueue::Create(2, 32);
  const std::uint64_t otherId = IdentityOf(other->AcquireBuffer(32, false));
  EXPECT_GT(otherId, ids.back());

  // A buffer created later by the first pool is newer than the other pool's, and handed out last.
  pool->SetQueueCapacity(5);
  auto all = AcquireAll(*pool, 5, 32);
  std::vector<std::uint64_t> order;
  for (auto& handle : all) order.push_back(IdentityOf(std::move(handle)));
  EXPECT_EQ(std::vector<std::uint64_t>(order.begin(), order.begin() + 4), ids);
  EXPECT_GT(order[4], otherId);
  EXPECT_TRUE(pool->IsFull());
}

TEST(BufferQueue, SecondHandleOrForeignBufferIsRefusedWithoutThrowing) {
  auto pool = BufferQueue::Create(2, 64);
  auto handle = pool->AcquireBuffer(64, false);
  auto duplicate = std::make_unique<ManagedBuffer>(*handle);
  handle.reset();
  ASSERT_EQ(pool->GetFreeQueueSize(), 2u);
  LogCapture::Take();

  EXPECT_NO_THROW(duplicate.reset());
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function, "Melvo::BufferQueue::RecycleBuffer");
  EXPECT_EQ(records[0].text.rfind("Tried to recycle buffer ", 0), 0u);
  EXPECT_NE(records[0].text.find(" which was never in use"), std::string::npos);
  EXPECT_EQ(pool->GetFreeQueueSize(), 2u) << "the lists are unchanged";
  EXPECT_EQ(pool->GetUsedQueueSize(), 0u);

  // A free-standing buffer told this pool is its manager carries identity number 0.
  auto foreign = Buffer::Create(16);
  foreign->SetManager(pool);
  std::weak_ptr<Buffer> watch = foreign;
  EXPECT_NO_THROW({
    ManagedBuffer handle(foreign);
    foreign.reset();
  });
  records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  ExpectPoolError(records[0], "Melvo::BufferQueue::RecycleBuffer",
                  "Tried to recycle buffer 0 which was never in use");
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(pool->GetFreeQueueSize(), 2u);
  EXPECT_EQ(pool->QueueCapacity(), 2u);
}

TEST(BufferQueue, HandlesOutliveTheirPool) {
  auto pool = BufferQueue::Create(3, 64);
  auto handle = pool->AcquireBuffer(64, false);
  std::weak_ptr<Buffer> buffer = handle->GetBuffer();
  std::weak_ptr<BufferQueue> watch = pool;
  pool.reset();
  EXPECT_TRUE(watch.expired());

  handle->GetBuffer()->AppendDataPtr("still usable", 12);
  EXPECT_EQ(std::string(handle->GetBuffer()->GetBufferPtr(0), 12), "still usable");
  handle.reset();
  EXPECT_TRUE(buffer.expired());
  EXPECT_TRUE(LogCapture::Take().empty());
}

TEST(BufferQueue, HostMayHoldThePoolMutexAcrossCalls) {
  auto pool = BufferQueue::Create(1, 64);
  std::atomic<bool> acquired{false};
  std::shared_ptr<ManagedBuffer> handle;
  std::thread other;
  {
    std::lock_guard<boost::recursive_mutex> hold(pool->GetMutex());
    handle = pool->AcquireBuffer(64, false);
    other = std::thread([&] {
      auto second = pool->AcquireBuffer(64, true);
      acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(acquired) << "another thread waits while the host holds the pool";
    EXPECT_TRUE(pool->IsEmpty());
  }
  other.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(pool->QueueCapacity(), 2u);
  handle.reset();
  EXPECT_TRUE(pool->IsFull());
}

// Producers acquire and fill buffers with their own mark and pass the handles to consumers on
// other threads, who check the mark before dropping them, while another thread keeps resizing and
// reclaiming the pool. A buffer handed to two holders at once would show a foreign mark.
TEST(BufferQueue, ConcurrentUseNeverSharesABufferAndBalancesAtTheEnd) {
  constexpr int kProducers = 3;
  constexpr int kConsumers = 2;
  constexpr int kPacketsPerProducer = 1500;
  auto pool = BufferQueue::Create(4, 512);

  std::mutex queueLock;
  std::condition_variable queueChanged;
  std::deque<std::pair<char, std::shared_ptr<ManagedBuffer>>> queue;
  int producersLeft = kProducers;
  std::atomic<int> corrupted{0};
  std::atomic<int> consumed{0};
  std::atomic<bool> stop{false};

  auto produce = [&](char mark) {
    for (int i = 0; i < kPacketsPerProducer; ++i) {
      std::shared_ptr<ManagedBuffer> handle;
      try {
        handle = pool->AcquireBuffer(256 + static_cast<std::size_t>(i % 4) * 700, i % 3 != 0);
      } catch (const BufferQueue::BufferQueueException&) {
        continue;  // no free buffer and no permission to grow: the pool is unchanged
      }
      Buffer& buffer = *handle->GetBuffer();
      std::memset(buffer.GetBufferPtr(0), mark, buffer.GetReservedSize());
      buffer.SetUsedSize(buffer.GetReservedSize());
      std::lock_guard<std::mutex> guard(queueLock);
      queue.emplace_back(mark, std::move(handle));
      queueChanged.notify_one();
    }
    std::lock_guard<std::mutex> guard(queueLock);
    --producersLeft;
    queueChanged.notify_all();
  };
  auto consume = [&] {
    for (;;) {
      std::unique_lock<std::mutex> guard(queueLock);
      queueChanged.wait(guard, [&] { return !queue.empty() || producersLeft == 0; });
      if (queue.empty()) return;
      auto [mark, handle] = std::move(queue.front());
      queue.pop_front();
      guard.unlock();
      Buffer& buffer = *handle->GetBuffer();
      const char* bytes = buffer.GetBufferPtr(0);
      for (std::size_t i = 0; i < buffer.GetUsedSize(); ++i) {
        if (bytes[i] != mark) {
          ++corrupted;
          break;
        }
      }
      ++consumed;
    }
  };
  auto resize = [&] {
    for (std::size_t round = 0; !stop; ++round) {
      pool->SetQueueCapacity(2 + round % 7);
      pool->SetBufferSize(round % 2 == 0 ? 512 : 3000);
      pool->ReclaimMemory();
      std::this_thread::yield();
    }
  };

  std::vector<std::thread> threads;
  std::thread resizer(resize);
  for (int c = 0; c < kConsumers; ++c) threads.emplace_back(consume);
  for (int p = 0; p < kProducers; ++p) threads.emplace_back(produce, static_cast<char>('A' + p));
  for (auto& thread : threads) thread.join();
  stop = true;
  resizer.join();

  EXPECT_EQ(corrupted, 0);
  EXPECT_GT(consumed, kProducers * kPacketsPerProducer / 2);
  EXPECT_EQ(pool->GetUsedQueueSize(), 0u);
  EXPECT_EQ(pool->GetFreeQueueSize(), pool->QueueCapacity());
  EXPECT_TRUE(pool->IsFull());
  // Every log line must be one of the pool's or the buffer's own, never a refused hand-back.
  for (const LogRecord& record : LogCapture::Take()) {
    EXPECT_NE(record.function, "Melvo::BufferQueue::RecycleBuffer") << record.text;
  }
}

}  // namespace
