#include <Plinth/BufferQueue.h>

#include <algorithm>
#include <utility>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include "LogStatement.h"

namespace Melvo {
namespace {

const detail::LogChannel kLog{"vorn.Plinth.BufferQueue"};

// Buffers up to this size are never shrunk when handed out, so that packets of similar sizes do
// not reallocate on every acquisition.
constexpr std::size_t kShrinkFloor = 2048;

// Takes the pool's mutex, spinning briefly before it blocks: the pool's critical sections last
// a few hundred nanoseconds, far less than a sleep and wake-up in the kernel, so a thread that
// finds the mutex held usually gets it soon by waiting on the spot.
class PoolLock {
 public:
  explicit PoolLock(boost::recursive_mutex& mutex) : mutex_(mutex) {
    for (int attempt = 0; attempt < kSpins; ++attempt) {
      if (mutex_.try_lock()) return;
      CpuRelax();
    }
    mutex_.lock();
  }
  ~PoolLock() { mutex_.unlock(); }
  PoolLock(const PoolLock&) = delete;
  PoolLock& operator=(const PoolLock&) = delete;

 private:
  static constexpr int kSpins = 100;

  static void CpuRelax() {
#if defined(_MSC_VER)
    _mm_pause();
#elif defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  boost::recursive_mutex& mutex_;
};

}  // namespace

ManagedBuffer::ManagedBuffer(const std::shared_ptr<Buffer>& buffer) : buffer(buffer) {}

ManagedBuffer::~ManagedBuffer() {
  if (buffer) {
    try {
      buffer->Release();
    } catch (...) {
      // The pool has logged why it refused the buffer; it then ends with its last reference.
    }
  }
}

BufferQueue::BufferQueueException::BufferQueueException(const std::string& message)
    : text("BufferQueue Exception: " + message) {}

const char* BufferQueue::BufferQueueException::what() const noexcept {
  return text.c_str();
}

std::shared_ptr<BufferQueue> BufferQueue::Create(std::size_t queueCapacity, std::size_t bufferSize) {
  std::shared_ptr<BufferQueue> pool(new BufferQueue());
  pool->capacity = queueCapacity;
  pool->reclaimThreshold = 2 * queueCapacity;
  pool->bufferSize = bufferSize;
  // Nobody else can see the pool yet, so its mutex is not needed.
  pool->AddFreeBuffers(queueCapacity);
  return pool;
}

std::shared_ptr<ManagedBuffer> BufferQueue::AcquireBuffer(std::size_t size, bool allocateIfEmpty) {
  // The handle is made before the lock is taken, so that no thread waits on an allocation; it
  // holds the buffer only once the buffer is listed as in use, so a failure on the way leaves
  // the pool as it was and nothing to hand back.
  auto handle = std::make_shared<ManagedBuffer>(nullptr);
  PoolLock lock(mutex);
  if (freeBuffers.empty()) {
    if (!allocateIfEmpty) {
      PLINTH_LOG(kLog, spdlog::level::err, "No buffers left in the free list");
      throw BufferQueueException("No buffers left in the free list");
    }
    std::shared_ptr<Buffer> buffer = AllocateNewBuffer(size);
    usedBuffers.emplace(buffer->id, buffer);
    ++capacity;
    handle->GetBuffer() = std::move(buffer);
    return handle;
  }

  const std::uint64_t wantedSize = std::max<std::uint64_t>(bufferSize, size);
  auto oldest = freeBuffers.begin();
  handle->GetBuffer() = oldest->second;
  usedBuffers.insert(freeBuffers.extract(oldest));

  // A failed reallocation destroys the handle, which hands the buffer back.
  Buffer& buffer = *handle->GetBuffer();
  const std::size_t reserved = buffer.GetReservedSize();
  const bool tooSmall = reserved < wantedSize;
  const bool tooLarge =
      reserved > kShrinkFloor && reserved > wantedSize && reserved - wantedSize > wantedSize;
  if (tooSmall || tooLarge) {
    buffer.SetReservedSize(wantedSize, false);
  }
  bufferSize = wantedSize;
  return handle;
}

std::size_t BufferQueue::ReclaimMemory() {
  PoolLock lock(mutex);
  if (freeBuffers.empty() || freeBuffers.size() <= reclaimThreshold) {
    return 0;
  }
  const std::size_t excess = freeBuffers.size() - reclaimThreshold;
  freeBuffers.erase(freeBuffers.begin(), std::next(freeBuffers.begin(), static_cast<std::ptrdiff_t>(excess)));
  capacity -= std::min<std::uint64_t>(capacity, excess);
  return excess;
}

void BufferQueue::SetQueueCapacity(std::size_t newCapacity) {
  PoolLock lock(mutex);
  if (newCapacity < capacity) {
    const std::size_t destroyed = std::min<std::uint64_t>(capacity - newCapacity, freeBuffers.size());
    freeBuffers.erase(freeBuffers.begin(),
                      std::next(freeBuffers.begin(), static_cast<std::ptrdiff_t>(destroyed)));
  } else if (newCapacity > capacity) {
    AddFreeBuffers(newCapacity - capacity);
  }
  capacity = newCapacity;
}

void BufferQueue::SetBufferSize(std::size_t size) {
  PoolLock lock(mutex);
  bufferSize = size;
}

std::size_t BufferQueue::GetBufferSize() const {
  PoolLock lock(mutex);
  return bufferSize;
}

std::size_t BufferQueue::GetFreeQueueSize() const {
  PoolLock lock(mutex);
  return freeBuffers.size();
}

std::size_t BufferQueue::GetUsedQueueSize() const {
  PoolLock lock(mutex);
  return usedBuffers.size();
}

bool BufferQueue::IsEmpty() const {
  PoolLock lock(mutex);
  return freeBuffers.empty();
}

bool BufferQueue::IsFull() const {
  PoolLock lock(mutex);
  return freeBuffers.size() == capacity;
}

std::size_t BufferQueue::QueueCapacity() const {
  PoolLock lock(mutex);
  return capacity;
}

std::shared_ptr<Buffer> BufferQueue::AllocateNewBuffer(std::size_t size) {
  // shared_from_this throws std::bad_weak_ptr for a pool outside a shared_ptr.
  std::weak_ptr<BufferQueue> self = shared_from_this();
  return std::shared_ptr<Buffer>(new Buffer(std::move(self), size, 0, nullptr, false, true));
}

void BufferQueue::AddFreeBuffers(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::shared_ptr<Buffer> buffer = AllocateNewBuffer(bufferSize);
    freeBuffers.emplace(buffer->id, std::move(buffer));
  }
}

void BufferQueue::RecycleBuffer(Buffer& buffer) {
  PoolLock lock(mutex);
  buffer.SetUsedSize(0);
  auto entry = usedBuffers.find(buffer.id);
  if (entry == usedBuffers.end() || entry->second.get() != &buffer) {
    PLINTH_LOG(kLog, spdlog::level::err, "Tried to recycle buffer {} which was never in use", buffer.id);
    throw BufferQueueException("Tried to recycle a buffer that was never in use");
  }
  // Counting the returning buffer as still in use: a pool shrunk below its number of buffers
  // drops the buffers that come back until it is down to its capacity.
  if (capacity >= usedBuffers.size() + freeBuffers.size()) {
    freeBuffers.insert(usedBuffers.extract(entry));
  } else {
    usedBuffers.erase(entry);
  }
}

}  // namespace Melvo
