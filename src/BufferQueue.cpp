#include <Plinth/BufferQueue.h>

#include <algorithm>
#include <utility>

#include <boost/thread/lock_guard.hpp>

#include "LogStatement.h"

namespace Melvo {
namespace {

const detail::LogChannel kLog{"vorn.Plinth.BufferQueue"};

// Buffers up to this size are never shrunk when handed out, so that packets of similar sizes do
// not reallocate on every acquisition.
constexpr std::size_t kShrinkFloor = 2048;

using Guard = boost::lock_guard<boost::recursive_mutex>;

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
  Guard guard(mutex);
  if (freeBuffers.empty()) {
    if (!allocateIfEmpty) {
      PLINTH_LOG(kLog, spdlog::level::err, "No buffers left in the free list");
      throw BufferQueueException("No buffers left in the free list");
    }
    std::shared_ptr<ManagedBuffer> handle = AllocateManagedBuffer(size);
    const std::shared_ptr<Buffer>& buffer = handle->GetBuffer();
    usedBuffers.emplace(buffer->id, buffer);
    ++capacity;
    return handle;
  }

  bufferSize = std::max<std::uint64_t>(bufferSize, size);
  // The handle is made before the buffer changes lists, so a failed allocation changes nothing.
  auto oldest = freeBuffers.begin();
  std::shared_ptr<ManagedBuffer> handle = std::make_shared<ManagedBuffer>(oldest->second);
  usedBuffers.insert(freeBuffers.extract(oldest));

  Buffer& buffer = *handle->GetBuffer();
  const std::size_t reserved = buffer.GetReservedSize();
  const bool tooSmall = reserved < bufferSize;
  const bool tooLarge =
      reserved > kShrinkFloor && reserved > bufferSize && reserved - bufferSize > bufferSize;
  if (tooSmall || tooLarge) {
    buffer.SetReservedSize(bufferSize, false);
  }
  return handle;
}

std::size_t BufferQueue::ReclaimMemory() {
  Guard guard(mutex);
  if (freeBuffers.empty() || freeBuffers.size() <= reclaimThreshold) {
    return 0;
  }
  const std::size_t excess = freeBuffers.size() - reclaimThreshold;
  freeBuffers.erase(freeBuffers.begin(), std::next(freeBuffers.begin(), static_cast<std::ptrdiff_t>(excess)));
  capacity -= std::min<std::uint64_t>(capacity, excess);
  return excess;
}

void BufferQueue::SetQueueCapacity(std::size_t newCapacity) {
  Guard guard(mutex);
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
  Guard guard(mutex);
  bufferSize = size;
}

std::size_t BufferQueue::GetBufferSize() const {
  Guard guard(mutex);
  return bufferSize;
}

std::size_t BufferQueue::GetFreeQueueSize() const {
  Guard guard(mutex);
  return freeBuffers.size();
}

std::size_t BufferQueue::GetUsedQueueSize() const {
  Guard guard(mutex);
  return usedBuffers.size();
}

bool BufferQueue::IsEmpty() const {
  Guard guard(mutex);
  return freeBuffers.empty();
}

bool BufferQueue::IsFull() const {
  Guard guard(mutex);
  return freeBuffers.size() == capacity;
}

std::size_t BufferQueue::QueueCapacity() const {
  Guard guard(mutex);
  return capacity;
}

std::shared_ptr<Buffer> BufferQueue::AllocateNewBuffer(std::size_t size) {
  // shared_from_this throws std::bad_weak_ptr for a pool outside a shared_ptr.
  std::weak_ptr<BufferQueue> self = shared_from_this();
  return std::shared_ptr<Buffer>(new Buffer(std::move(self), size, 0, nullptr, false, true));
}

std::shared_ptr<ManagedBuffer> BufferQueue::AllocateManagedBuffer(std::size_t size) {
  return std::make_shared<ManagedBuffer>(AllocateNewBuffer(size));
}

void BufferQueue::AddFreeBuffers(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::shared_ptr<Buffer> buffer = AllocateNewBuffer(bufferSize);
    freeBuffers.emplace(buffer->id, std::move(buffer));
  }
}

void BufferQueue::RecycleBuffer(Buffer& buffer) {
  Guard guard(mutex);
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
