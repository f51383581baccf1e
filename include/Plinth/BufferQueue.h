/// \file
/// A thread-safe pool of reusable Buffers for a producer of audio packets, and ManagedBuffer, the
/// handle it gives out: destroying the last handle of an acquired buffer hands it back to the pool.
/// Free and in-use buffers are kept in identity order, and the oldest free buffer is handed out.
///
/// The example host makes one pool for the audio and one for the frame indexes:
/// \snippet demo_host.cpp BufferQueue
/// and acquires a buffer of each for every packet; dropping the handles hands the buffers back:
/// \snippet demo_host.cpp capture loop
#pragma once

#include <Plinth/Buffer.h>
#include <Plinth/Export.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>

#include <boost/thread/recursive_mutex.hpp>

namespace Melvo {

/// A pooled buffer's handle: the last copy to go hands the buffer back to its pool.
class PLINTH_API ManagedBuffer {
 public:
  ///@{
  /// Holds `buffer`; copies share it.
  explicit ManagedBuffer(const std::shared_ptr<Buffer>& buffer);
  ManagedBuffer(const ManagedBuffer& other) = default;
  ///@}
  /// Holds the other's buffer from now on; the buffer held before is not handed back.
  ManagedBuffer& operator=(const ManagedBuffer& other) = default;
  /// Hands the buffer back to its pool, if the pool still lives. Never throws: a refused hand-back
  /// has been logged, and the buffer then simply ends with its last reference.
  ~ManagedBuffer();

  /// The buffer held.
  std::shared_ptr<Buffer>& GetBuffer() { return buffer; }

 private:
  std::shared_ptr<Buffer> buffer;
};

/// A thread-safe pool of reusable buffers; always held by shared_ptr.
class PLINTH_API BufferQueue : public std::enable_shared_from_this<BufferQueue> {
 public:
  /// The pool's refusal: no free buffer where one was required, or a foreign buffer handed back.
  class PLINTH_API BufferQueueException : public std::exception {
   public:
    /// Keeps `message` for what().
    explicit BufferQueueException(const std::string& message);
    /// "BufferQueue Exception: " followed by the message.
    const char* what() const noexcept override;

   private:
    std::string text;
  };

  /// A pool of `queueCapacity` free buffers of `bufferSize` bytes. ReclaimMemory keeps twice the
  /// initial capacity of free buffers.
  static std::shared_ptr<BufferQueue> Create(std::size_t queueCapacity, std::size_t bufferSize);

  BufferQueue(const BufferQueue&) = delete;
  BufferQueue& operator=(const BufferQueue&) = delete;
  /// Free buffers are destroyed; buffers in use live on in their handles and end with them.
  ~BufferQueue() = default;

  /// Hands out the oldest free buffer, brought to the pool's buffer size (raised to `size` if that
  /// is larger). With no free buffer, allocates one of exactly `size` bytes that joins the pool, or
  /// throws BufferQueueException when `allocateIfEmpty` is false.
  std::shared_ptr<ManagedBuffer> AcquireBuffer(std::size_t size, bool allocateIfEmpty);

  /// Destroys the oldest free buffers beyond the reclaim threshold; returns how many.
  std::size_t ReclaimMemory();

  /// Grows the pool with new free buffers, or shrinks it by destroying free buffers and dropping
  /// buffers in use as they come back until the pool is down to `newCapacity`.
  void SetQueueCapacity(std::size_t newCapacity);

  ///@{
  /// New buffers get this size; free ones are brought to it when next handed out.
  void SetBufferSize(std::size_t size);
  std::size_t GetBufferSize() const;
  ///@}

  ///@{
  /// Free buffers and buffers in use.
  std::size_t GetFreeQueueSize() const;
  std::size_t GetUsedQueueSize() const;
  ///@}
  /// No buffer can be handed out without allocating.
  bool IsEmpty() const;
  /// No buffer is in use.
  bool IsFull() const;
  /// The number of buffers the pool keeps.
  std::size_t QueueCapacity() const;

  /// The pool's own recursive mutex, for a host that needs several calls to be atomic. Not locked.
  boost::recursive_mutex& GetMutex() { return mutex; }

 private:
  friend class Buffer;

  using BufferMap = std::map<std::uint64_t, std::shared_ptr<Buffer>>;

  BufferQueue() = default;

  std::shared_ptr<Buffer> AllocateNewBuffer(std::size_t size);
  // Adds `count` new free buffers of `bufferSize` bytes; the caller adjusts the capacity.
  void AddFreeBuffers(std::size_t count);
  // Takes a buffer back from its handle; throws BufferQueueException for one not in use here.
  void RecycleBuffer(Buffer& buffer);

  std::uint64_t capacity = 0;
  std::uint64_t reclaimThreshold = 0;
  std::uint64_t bufferSize = 0;
  BufferMap freeBuffers;
  BufferMap usedBuffers;
  mutable boost::recursive_mutex mutex;
};

}  // namespace Melvo
