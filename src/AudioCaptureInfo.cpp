#include <Plinth/AudioCaptureInfo.h>

#include <algorithm>

#include "LogStatement.h"

namespace Melvo {
namespace {

const detail::LogChannel kLog{"vorn.Plinth.AudioCaptureInfo"};

// Replaces the destination's contents with `size` bytes from `source`; a destination handle that
// holds no buffer, or a null source, receives nothing.
void CopyInto(ManagedBuffer& destination, const char* source, std::size_t size) {
  if (const std::shared_ptr<Buffer>& buffer = destination.GetBuffer()) {
    buffer->CopyBufferPtr(source, size, 0);
  }
}

std::shared_ptr<ManagedBuffer> DestinationOrNew(const std::shared_ptr<ManagedBuffer>& given,
                                                const std::shared_ptr<Buffer>& source) {
  if (given) return given;
  // A buffer made here belongs to no pool: handing it back later does nothing to any pool.
  return std::make_shared<ManagedBuffer>(Buffer::Create(source ? source->GetReservedSize() : 0));
}

}  // namespace

AudioCaptureInfo::AudioCaptureInfo(std::size_t sizeField1, std::size_t sizeField2, float floatField,
                                   std::size_t frameBits, const double& doubleField1,
                                   const double& doubleField2, void* userData,
                                   const std::shared_ptr<ManagedBuffer>& primaryBuffer,
                                   const std::shared_ptr<ManagedBuffer>& secondaryBuffer)
    : sizeField1(sizeField1),
      sizeField2(sizeField2),
      floatField(floatField),
      frameBits(frameBits),
      doubleField1(doubleField1),
      doubleField2(doubleField2),
      userData(userData),
      primaryBuffer(primaryBuffer),
      secondaryBuffer(secondaryBuffer),
      flag1(false),
      flag2(false) {}

std::shared_ptr<AudioCaptureInfo> AudioCaptureInfo::Clone(
    const std::shared_ptr<ManagedBuffer>& primaryDestination,
    const std::shared_ptr<ManagedBuffer>& secondaryDestination, std::size_t offset, std::size_t count) const {
  std::shared_ptr<ManagedBuffer> primaryResult;
  std::shared_ptr<ManagedBuffer> secondaryResult;

  if (!primaryBuffer || !primaryBuffer->GetBuffer() || !secondaryBuffer) {
    PLINTH_LOG(kLog, spdlog::level::warn, "Cloning AudioCaptureInfo packet without a source buffer.");
  } else {
    Buffer& primary = *primaryBuffer->GetBuffer();
    const std::shared_ptr<Buffer>& secondary = secondaryBuffer->GetBuffer();
    primaryResult = DestinationOrNew(primaryDestination, primaryBuffer->GetBuffer());
    secondaryResult = DestinationOrNew(secondaryDestination, secondary);

    // A used size set beyond the block is not backed by bytes: only what the block holds is valid.
    const std::size_t used = std::min(primary.GetUsedSize(), primary.GetReservedSize());
    if (used != 0 && used <= offset) {
      PLINTH_LOG(kLog, spdlog::level::err,
                 "Requested to copy Buffer contents from offset: {} when the buffer is only {} bytes big.",
                 offset, used);
    } else if (used != 0) {
      const std::size_t left = used - offset;
      if (count == kToTheEnd) {
        count = left;
      } else if (left < count) {
        PLINTH_LOG(
            kLog, spdlog::level::warn,
            "Requested to copy {} of Buffer contents from offset: {} when there are only {} bytes left in "
            "the Buffer from that point. Auto-correcting...",
            count, offset, left);
        count = left;
      }
      CopyInto(*primaryResult, primary.GetBufferPtr(offset), count);

      // The secondary buffer describes whole frames only: a partial frame at either end of the
      // stretch has no entry of its own. Frames narrower than a byte have no whole frames at all.
      const std::size_t frameBytes = frameBits / 8;
      std::size_t secondaryOffset = 0;
      std::size_t secondaryCount = 0;
      if (frameBytes != 0) {
        secondaryOffset = offset / frameBytes * kSecondaryBytesPerFrame;
        secondaryCount = count / frameBytes * kSecondaryBytesPerFrame;
      }
      const char* source = secondary ? secondary->GetBufferPtr(secondaryOffset) : nullptr;
      if (source != nullptr) {
        // A secondary buffer shorter than its frames call for is never read past its block.
        const std::size_t reserved = secondary->GetReservedSize();
        secondaryCount =
            std::min(secondaryCount, secondaryOffset < reserved ? reserved - secondaryOffset : 0);
      }
      CopyInto(*secondaryResult, source, secondaryCount);
    }
  }

  auto result =
      std::make_shared<AudioCaptureInfo>(sizeField1, sizeField2, floatField, frameBits, doubleField1,
                                         doubleField2, userData, primaryResult, secondaryResult);
  result->flag1 = flag1;
  result->flag2 = flag2;
  return result;
}

}  // namespace Melvo
