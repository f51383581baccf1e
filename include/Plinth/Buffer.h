/// \file
/// A heap block of bytes with a reserved size (what the block holds) and a used size (the valid
/// bytes at its start). A buffer can grow keeping its data, take in copies of foreign bytes, append,
/// and wrap memory it does not own. It is free-standing (Buffer::Create) or belongs to a pool
/// (BufferQueue), which it returns to when its ManagedBuffer handle goes. Always held by shared_ptr.
///
/// A free-standing buffer that grows as bytes are appended, from the example host:
/// \snippet demo_host.cpp Buffer
#pragma once

#include <Plinth/Export.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include <boost/thread/recursive_mutex.hpp>

namespace Melvo {

class BufferQueue;
class ManagedBuffer;

/// A heap block of bytes with a reserved size and a used size; always held by shared_ptr.
class PLINTH_API Buffer {
 public:
  /// A free-standing buffer with a block of `reservedSize` bytes (none for 0) and no valid data.
  static std::shared_ptr<Buffer> Create(std::size_t reservedSize);

  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  ///@{
  /// Equal when both hold the same block, or both hold none.
  bool operator==(const Buffer& other) const;
  bool operator!=(const Buffer& other) const;
  ///@}

  /// The address of byte `offset`; past the end, the last reserved byte; null without a block.
  char* GetBufferPtr(std::size_t offset = 0);

  ///@{
  /// The block's size, the valid bytes at its start, and the room between them.
  std::size_t GetReservedSize() const { return reservedSize; }
  std::size_t GetUsedSize() const { return usedSize; }
  std::size_t GetRoomLeft() const { return reservedSize - usedSize; }
  ///@}
  ///@{
  /// Whether the destructor releases the block (false for wrapped memory).
  bool IsOwner() const { return isOwner; }
  void SetOwnership(bool owner) { isOwner = owner; }
  ///@}

  /// Sets the used size without any bound; the caller vouches for it.
  void SetUsedSize(std::size_t size) { usedSize = size; }
  /// Grows the used size, capped at the reserved size.
  void IncreaseUsedSize(std::size_t count);
  /// Shrinks the used size, stopping at 0.
  void DecreaseUsedSize(std::size_t count);

  /// Gives the buffer a block of exactly `newSize` bytes (none for 0). With `keepData` the valid
  /// bytes that fit are kept and the used size becomes their count; without, the contents are
  /// undefined and the used size is left to the caller.
  void SetReservedSize(std::size_t newSize, bool keepData);

  /// Appends `count` bytes, growing the block to exactly the size needed.
  void AppendDataPtr(const char* source, std::size_t count);
  /// Appends the other buffer's valid bytes.
  void AppendBufferData(const std::shared_ptr<Buffer>& other);

  /// Replaces the contents with `size` bytes from `source`, with room for at least `reserve`
  /// bytes. A reserve larger than the block drops the block first, even without a source.
  void CopyBufferPtr(const char* source, std::size_t size, std::size_t reserve);

  /// Adopts `block` as it is (a reserved size of 0 means the used size). The previous block is
  /// not released; `ownership` says whether the destructor releases the new one.
  void SetBufferPtr(char* block, std::size_t usedSize, std::size_t reservedSize, bool ownership);

  /// Replaces the pool the buffer returns to; its identity number stays.
  void SetManager(std::weak_ptr<BufferQueue> manager);

 private:
  friend class BufferQueue;
  friend class ManagedBuffer;

  explicit Buffer(std::size_t reservedSize);
  // The pool's constructor: a pooled buffer draws the next identity number.
  Buffer(std::weak_ptr<BufferQueue> manager, std::size_t reservedSize, std::size_t usedSize, char* source,
         bool copyData, bool takeOwnership);

  // Hands the buffer back to its pool, if the pool still lives.
  void Release();
  void UnManage();

  // Replaces the block by a new one of `newSize` bytes, keeping what fits of the valid bytes
  // that the old block really holds.
  void Reallocate(std::size_t newSize, bool keepData);
  void ReleaseBlock();

  char* data = nullptr;
  std::uint64_t reservedSize = 0;
  std::uint64_t usedSize = 0;
  bool isOwner = true;
  std::weak_ptr<BufferQueue> manager;
  std::uint64_t id = 0;

  static std::uint64_t s_idSeed;
  static boost::recursive_mutex s_idLock;
};

}  // namespace Melvo
