#include <Plinth/Buffer.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include <boost/thread/lock_guard.hpp>

#include <Plinth/BufferQueue.h>

#include "LogStatement.h"

namespace Melvo {
namespace {
const detail::LogChannel kLog{"vorn.Plinth.Buffer"};
}  // namespace

std::uint64_t Buffer::s_idSeed = 0;
boost::recursive_mutex Buffer::s_idLock;

std::shared_ptr<Buffer> Buffer::Create(std::size_t reservedSize) {
  return std::shared_ptr<Buffer>(new Buffer(reservedSize));
}

Buffer::Buffer(std::size_t reservedSize) {
  if (reservedSize != 0) {
    data = new char[reservedSize];
    this->reservedSize = reservedSize;
  }
}

Buffer::Buffer(std::weak_ptr<BufferQueue> manager, std::size_t reservedSize, std::size_t usedSize,
               char* source, bool copyData, bool takeOwnership)
    : reservedSize(reservedSize), usedSize(usedSize), isOwner(takeOwnership), manager(std::move(manager)) {
  if (!this->manager.expired()) {
    boost::lock_guard<boost::recursive_mutex> guard(s_idLock);
    id = s_idSeed++;
  }
  if ((source == nullptr || copyData) && reservedSize != 0) {
    // A block the buffer allocates is its own, whatever it was asked to adopt.
    data = new char[reservedSize];
    isOwner = true;
  } else {
    data = source;
  }
  if (copyData && source != nullptr) {
    this->usedSize = std::min(usedSize, reservedSize);
    std::memcpy(data, source, this->usedSize);
  }
}

Buffer::~Buffer() {
  ReleaseBlock();
}

bool Buffer::operator==(const Buffer& other) const {
  return data == other.data;
}

bool Buffer::operator!=(const Buffer& other) const {
  return !(*this == other);
}

char* Buffer::GetBufferPtr(std::size_t offset) {
  if (data == nullptr) return nullptr;
  if (offset < reservedSize) return data + offset;
  return reservedSize == 0 ? data : data + reservedSize - 1;
}

void Buffer::IncreaseUsedSize(std::size_t count) {
  usedSize = count >= reservedSize - std::min(usedSize, reservedSize) ? reservedSize : usedSize + count;
}

void Buffer::DecreaseUsedSize(std::size_t count) {
  usedSize = count >= usedSize ? 0 : usedSize - count;
}

void Buffer::SetReservedSize(std::size_t newSize, bool keepData) {
  if (newSize == reservedSize) {
    PLINTH_LOG(kLog, spdlog::level::info, "No need to resize. {} is already the size of the buffer.",
               reservedSize);
    return;
  }
  if (newSize == 0) {
    ReleaseBlock();
    data = nullptr;
    reservedSize = 0;
    return;
  }
  if (data == nullptr) {
    data = new char[newSize];
    reservedSize = newSize;
    isOwner = true;
    return;
  }
  PLINTH_LOG(kLog, spdlog::level::info, "Reallocating existing buffer of size {} for new buffer of size {}.",
             reservedSize, newSize);
  Reallocate(newSize, keepData);
}

void Buffer::AppendDataPtr(const char* source, std::size_t count) {
  if (source == nullptr || count == 0) return;
  if (count > std::numeric_limits<std::size_t>::max() - usedSize) {
    throw std::length_error("Buffer::AppendDataPtr: the appended size overflows");
  }
  if (usedSize + count > reservedSize) {
    if (source >= data && source < data + reservedSize) {
      // Appending part of itself: growing would free the bytes being appended.
      std::vector<char> own(source, source + count);
      AppendDataPtr(own.data(), own.size());
      return;
    }
    SetReservedSize(usedSize + count, true);
  }
  // The source may lie inside this very block, just before the bytes written.
  std::memmove(data + usedSize, source, count);
  usedSize += count;
}

void Buffer::AppendBufferData(const std::shared_ptr<Buffer>& other) {
  if (!other) return;
  const char* source = other->GetBufferPtr(0);
  // A used size set beyond the block is not backed by bytes; never read past the block.
  const std::size_t count = std::min(other->usedSize, other->reservedSize);
  if (source == nullptr || count == 0) return;
  AppendDataPtr(source, count);
}

void Buffer::CopyBufferPtr(const char* source, std::size_t size, std::size_t reserve) {
  if (size != 0 && source != nullptr && source >= data && source < data + reservedSize) {
    // Copying part of itself: the block may be replaced before the bytes are read. (No bytes to
    // copy need no detour, whose empty copy might have no address and pass for a null source.)
    std::vector<char> own(source, source + size);
    CopyBufferPtr(own.data(), size, reserve);
    return;
  }
  if (data != nullptr && reserve != 0 && reserve > reservedSize) {
    ReleaseBlock();
    data = nullptr;
    reservedSize = 0;
    usedSize = 0;
  }
  const std::size_t capacity = std::max<std::size_t>({reservedSize, size, reserve});
  if (source == nullptr) return;
  // Memory the buffer merely wraps is never written over here: it gets a block of its own.
  if ((data == nullptr || reservedSize < size || !isOwner) && capacity != 0) {
    char* block = new char[capacity];
    ReleaseBlock();
    data = block;
  }
  if (size != 0) {
    std::memcpy(data, source, size);
  }
  usedSize = size;
  reservedSize = capacity;
  isOwner = true;
}

void Buffer::SetBufferPtr(char* block, std::size_t usedSize, std::size_t reservedSize, bool ownership) {
  data = block;
  this->usedSize = usedSize;
  this->reservedSize = reservedSize != 0 ? reservedSize : usedSize;
  isOwner = ownership;
}

void Buffer::SetManager(std::weak_ptr<BufferQueue> manager) {
  this->manager = std::move(manager);
}

void Buffer::Release() {
  if (std::shared_ptr<BufferQueue> pool = manager.lock()) {
    pool->RecycleBuffer(*this);
  }
}

void Buffer::UnManage() {
  manager.reset();
}

void Buffer::Reallocate(std::size_t newSize, bool keepData) {
  char* block = new char[newSize];
  if (keepData) {
    // The used size may have been set beyond the block; only bytes the block holds are copied.
    const std::size_t kept = std::min<std::size_t>({usedSize, newSize, reservedSize});
    std::memcpy(block, data, kept);
    usedSize = kept;
  }
  ReleaseBlock();
  data = block;
  reservedSize = newSize;
  isOwner = true;
}

void Buffer::ReleaseBlock() {
  if (isOwner) {
    delete[] data;
  }
}

}  // namespace Melvo
