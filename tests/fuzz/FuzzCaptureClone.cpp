// AudioCaptureInfo::Clone with fuzzer-chosen buffers, used sizes (within and beyond the block),
// frame widths, offsets, counts and destinations (none, a foreign buffer, an empty handle, the
// source's own handle): the copies hold exactly the requested stretch, clipped to the valid bytes
// and, for the secondary buffer, to whole frames and to its block; nothing else changes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/AudioCaptureInfo.h>

using Melvo::AudioCaptureInfo;
using Melvo::Buffer;
using Melvo::ManagedBuffer;

namespace {

constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();

enum class Destination { None, Foreign, EmptyHandle, Source };

std::vector<char> Contents(Buffer& buffer) {
  const std::size_t valid = std::min(buffer.GetUsedSize(), buffer.GetReservedSize());
  const char* bytes = buffer.GetBufferPtr();
  return bytes == nullptr ? std::vector<char>() : std::vector<char>(bytes, bytes + valid);
}

// A handle to a buffer of fuzzer-chosen bytes and used size, or to no buffer, or none at all.
std::shared_ptr<ManagedBuffer> MakeSource(FuzzedDataProvider& input, std::size_t maxSize) {
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return nullptr;
    case 1:
      return std::make_shared<ManagedBuffer>(nullptr);
    default:
      break;
  }
  const std::size_t reserved = input.ConsumeIntegralInRange<std::size_t>(0, maxSize);
  std::shared_ptr<Buffer> buffer = Buffer::Create(reserved);
  const std::vector<char> bytes = input.ConsumeBytes<char>(reserved);
  if (!bytes.empty()) std::memcpy(buffer->GetBufferPtr(), bytes.data(), bytes.size());
  buffer->SetUsedSize(input.ConsumeIntegralInRange<std::size_t>(0, maxSize + 8));
  return std::make_shared<ManagedBuffer>(buffer);
}

std::shared_ptr<ManagedBuffer> MakeDestination(Destination kind,
                                               const std::shared_ptr<ManagedBuffer>& source) {
  switch (kind) {
    case Destination::None:
      return nullptr;
    case Destination::Foreign: {
      auto buffer = Buffer::Create(5);
      buffer->CopyBufferPtr("stale", 5, 0);
      return std::make_shared<ManagedBuffer>(buffer);
    }
    case Destination::EmptyHandle:
      return std::make_shared<ManagedBuffer>(nullptr);
    case Destination::Source:
      return source;
  }
  return nullptr;
}

std::size_t ConsumeSize(FuzzedDataProvider& input, std::size_t max) {
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      return AudioCaptureInfo::kToTheEnd;
    case 1:
      return kHuge - input.ConsumeIntegralInRange<std::size_t>(1, 16);
    default:
      return input.ConsumeIntegralInRange<std::size_t>(0, max);
  }
}

// What a destination must hold afterwards: `expected` when the copy reached it, else what it held.
void CheckDestination(const std::shared_ptr<ManagedBuffer>& result,
                      const std::shared_ptr<ManagedBuffer>& given, const std::vector<char>& before,
                      bool copied, const std::vector<char>& expected) {
  if (given && result != given) std::abort();
  if (!result) std::abort();
  const std::shared_ptr<Buffer>& buffer = result->GetBuffer();
  // A destination made by Clone always holds a buffer; a given one keeps what it held.
  if (!given && !buffer) std::abort();
  if (!buffer) return;
  if (Contents(*buffer) != (copied ? expected : before)) std::abort();
  if (copied && buffer->GetUsedSize() != expected.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t frameBits = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::size_t>(0, 80)
                                                    : input.ConsumeIntegral<std::size_t>();
  const auto primaryKind = static_cast<Destination>(input.ConsumeIntegralInRange<int>(0, 3));
  const auto secondaryKind = static_cast<Destination>(input.ConsumeIntegralInRange<int>(0, 3));
  const std::size_t offset = ConsumeSize(input, 300);
  const std::size_t count = ConsumeSize(input, 300);
  AudioCaptureInfo record(1, 2, 3.5f, frameBits, 4.25, 5.125);
  record.flag1 = input.ConsumeBool();
  record.flag2 = input.ConsumeBool();
  record.primaryBuffer = MakeSource(input, 256);
  record.secondaryBuffer = MakeSource(input, 512);

  const std::shared_ptr<ManagedBuffer> primaryDestination =
      MakeDestination(primaryKind, record.primaryBuffer);
  const std::shared_ptr<ManagedBuffer> secondaryDestination =
      MakeDestination(secondaryKind, record.secondaryBuffer);
  const auto contentsOf = [](const std::shared_ptr<ManagedBuffer>& handle) {
    return handle && handle->GetBuffer() ? Contents(*handle->GetBuffer()) : std::vector<char>();
  };
  const std::vector<char> primaryBytes = contentsOf(record.primaryBuffer);
  const std::vector<char> secondaryBytes = contentsOf(record.secondaryBuffer);
  const std::size_t secondaryReserved = record.secondaryBuffer && record.secondaryBuffer->GetBuffer()
                                            ? record.secondaryBuffer->GetBuffer()->GetReservedSize()
                                            : 0;
  std::vector<char> secondaryBlock;
  if (secondaryReserved != 0) {
    const char* block = record.secondaryBuffer->GetBuffer()->GetBufferPtr();
    secondaryBlock.assign(block, block + secondaryReserved);
  }
  const std::vector<char> primaryBefore = contentsOf(primaryDestination);
  const std::vector<char> secondaryBefore = contentsOf(secondaryDestination);

  const std::shared_ptr<AudioCaptureInfo> clone =
      record.Clone(primaryDestination, secondaryDestination, offset, count);

  if (!clone || clone->sizeField1 != 1 || clone->sizeField2 != 2 || clone->floatField != 3.5f ||
      clone->frameBits != frameBits || clone->doubleField1 != 4.25 || clone->doubleField2 != 5.125 ||
      clone->userData != nullptr || clone->flag1 != record.flag1 || clone->flag2 != record.flag2) {
    std::abort();
  }
  if (!record.primaryBuffer || !record.primaryBuffer->GetBuffer() || !record.secondaryBuffer) {
    if (clone->primaryBuffer || clone->secondaryBuffer) std::abort();
    return 0;
  }

  const std::size_t used = primaryBytes.size();
  const bool copied = used != 0 && offset < used;
  std::vector<char> primaryExpected;
  std::vector<char> secondaryExpected;
  bool secondaryCopied = false;
  if (copied) {
    const std::size_t length = std::min(count, used - offset);
    primaryExpected.assign(primaryBytes.begin() + static_cast<std::ptrdiff_t>(offset),
                           primaryBytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
    const std::size_t frameBytes = frameBits / 8;
    if (secondaryReserved != 0) {
      secondaryCopied = true;
      if (frameBytes != 0) {
        const std::size_t from = offset / frameBytes * AudioCaptureInfo::kSecondaryBytesPerFrame;
        const std::size_t wanted = length / frameBytes * AudioCaptureInfo::kSecondaryBytesPerFrame;
        const std::size_t available = from < secondaryReserved ? secondaryReserved - from : 0;
        const std::size_t taken = std::min(wanted, available);
        if (taken != 0) {
          secondaryExpected.assign(secondaryBlock.begin() + static_cast<std::ptrdiff_t>(from),
                                   secondaryBlock.begin() + static_cast<std::ptrdiff_t>(from + taken));
        }
      }
    }
  }
  CheckDestination(clone->primaryBuffer, primaryDestination, primaryBefore, copied, primaryExpected);
  CheckDestination(clone->secondaryBuffer, secondaryDestination, secondaryBefore, secondaryCopied,
                   secondaryExpected);

  // Sources that were not destinations are left as they were.
  if (primaryKind != Destination::Source && contentsOf(record.primaryBuffer) != primaryBytes) std::abort();
  if (secondaryKind != Destination::Source && contentsOf(record.secondaryBuffer) != secondaryBytes)
    std::abort();
  return 0;
}
