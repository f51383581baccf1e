// AudioCaptureInfo: the record's fields and shared handles, and Clone's copies, corrections and
// messages, into given or new destinations.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <Plinth/AudioCaptureInfo.h>

#include "support/LogCapture.h"

namespace {

using Melvo::AudioCaptureInfo;
using Melvo::Buffer;
using Melvo::BufferQueue;
using Melvo::ManagedBuffer;
using PlinthTest::LogCapture;

std::string Pattern(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed) % 251);
  return bytes;
}

std::shared_ptr<ManagedBuffer> Holding(const std::string& bytes, std::size_t reserved) {
  auto buffer = Buffer::Create(reserved);
  buffer->AppendDataPtr(bytes.data(), bytes.size());
  return std::make_shared<ManagedBuffer>(buffer);
}

std::string Contents(const std::shared_ptr<ManagedBuffer>& handle) {
  Buffer& buffer = *handle->GetBuffer();
  return buffer.GetUsedSize() == 0 ? std::string()
                                   : std::string(buffer.GetBufferPtr(0), buffer.GetUsedSize());
}

void ExpectMessage(spdlog::level::level_enum level, const std::string& text) {
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, level);
  EXPECT_EQ(records[0].logger, "vorn.Plinth.AudioCaptureInfo");
  EXPECT_EQ(records[0].file, "src/AudioCaptureInfo");
  EXPECT_EQ(records[0].function, "Melvo::AudioCaptureInfo::Clone");
  EXPECT_EQ(records[0].text, text);
}

// A packet of 1000 bytes in 4-byte frames (250 frames), with 8 bytes per frame beside it.
class AudioCaptureInfoPacket : public testing::Test {
 protected:
  const std::string primaryBytes = Pattern(1000, 1);
  const std::string secondaryBytes = Pattern(2000, 2);
  int host = 0;
  AudioCaptureInfo info{
      3, 4, 0.5f, 32, 1.25, 2.5, &host, Holding(primaryBytes, 1024), Holding(secondaryBytes, 2048)};
  void SetUp() override { LogCapture::Take(); }
};

TEST(AudioCaptureInfo, DefaultRecordClonesToAnEmptyRecordWithAWarning) {
  AudioCaptureInfo empty;
  auto destination = Holding("keep", 16);
  auto clone = empty.Clone(destination, destination, 0, AudioCaptureInfo::kToTheEnd);
  ExpectMessage(spdlog::level::warn, "Cloning AudioCaptureInfo packet without a source buffer.");
  for (const AudioCaptureInfo* record : {&empty, clone.get()}) {
    EXPECT_EQ(record->sizeField1 + record->sizeField2 + record->frameBits, 0u);
    EXPECT_EQ(record->floatField, 0.0f);
    EXPECT_EQ(record->doubleField1 + record->doubleField2, 0.0);
    EXPECT_EQ(record->userData, nullptr);
    EXPECT_FALSE(record->primaryBuffer || record->secondaryBuffer || record->flag1 || record->flag2);
  }
  EXPECT_EQ(Contents(destination), "keep") << "destinations are not used without a source";

  // A primary handle holding no buffer, or no secondary handle, is no source either.
  AudioCaptureInfo hollow(0, 0, 0, 32, 0, 0, nullptr, std::make_shared<ManagedBuffer>(nullptr),
                          Holding("x", 8));
  EXPECT_FALSE(hollow.Clone()->primaryBuffer);
  ExpectMessage(spdlog::level::warn, "Cloning AudioCaptureInfo packet without a source buffer.");
  AudioCaptureInfo halfway(0, 0, 0, 32, 0, 0, nullptr, Holding("x", 8));
  EXPECT_FALSE(halfway.Clone()->primaryBuffer);
  ExpectMessage(spdlog::level::warn, "Cloning AudioCaptureInfo packet without a source buffer.");
}

TEST_F(AudioCaptureInfoPacket, CopiesShareTheHandlesAndCarryEveryField) {
  EXPECT_FALSE(info.flag1 || info.flag2);
  info.flag2 = true;
  AudioCaptureInfo copy(info);
  AudioCaptureInfo assigned;
  assigned = info;
  for (const AudioCaptureInfo* record : {&copy, &assigned}) {
    EXPECT_EQ(record->primaryBuffer, info.primaryBuffer);
    EXPECT_EQ(record->secondaryBuffer, info.secondaryBuffer);
    EXPECT_EQ(record->userData, &host);
    EXPECT_EQ(record->frameBits, 32u);
    EXPECT_EQ(record->doubleField2, 2.5);
    EXPECT_TRUE(record->flag2);
  }
}

TEST_F(AudioCaptureInfoPacket, CloneToTheEndCopiesWholeFramesByteForByte) {
  info.flag1 = true;
  auto clone = info.Clone({}, {}, 100, AudioCaptureInfo::kToTheEnd);
  EXPECT_TRUE(LogCapture::Take().empty());
  EXPECT_EQ(Contents(clone->primaryBuffer), primaryBytes.substr(100));
  EXPECT_EQ(Contents(clone->secondaryBuffer), secondaryBytes.substr(200, 1800));
  // New buffers the size of the sources, and the scalar fields unchanged by the offset.
  EXPECT_EQ(clone->primaryBuffer->GetBuffer()->GetReservedSize(), 1024u);
  EXPECT_EQ(clone->secondaryBuffer->GetBuffer()->GetReservedSize(), 2048u);
  EXPECT_NE(clone->primaryBuffer, info.primaryBuffer);
  EXPECT_EQ(clone->sizeField1, 3u);
  EXPECT_EQ(clone->sizeField2, 4u);
  EXPECT_EQ(clone->floatField, 0.5f);
  EXPECT_EQ(clone->doubleField1, 1.25);
  EXPECT_EQ(clone->userData, &host);
  EXPECT_TRUE(clone->flag1);
  EXPECT_FALSE(clone->flag2);
  EXPECT_EQ(Contents(info.primaryBuffer), primaryBytes) << "the source is left as it was";
}

TEST_F(AudioCaptureInfoPacket, OverlongCountIsCorrectedWithAWarning) {
  auto clone = info.Clone({}, {}, 100, 2000);
  ExpectMessage(
      spdlog::level::warn,
      "Requested to copy 2000 of Buffer contents from offset: 100 when there are only 900 bytes left in "
      "the Buffer from that point. Auto-correcting...");
  EXPECT_EQ(Contents(clone->primaryBuffer), primaryBytes.substr(100));
  EXPECT_EQ(Contents(clone->secondaryBuffer), secondaryBytes.substr(200, 1800));
}

TEST_F(AudioCaptureInfoPacket, OffsetAtTheEndCopiesNothingIntoTheDestinations) {
  auto primary = Holding("previous", 64);
  auto secondary = Holding("side", 64);
  auto clone = info.Clone(primary, secondary, 1000, 10);
  ExpectMessage(
      spdlog::level::err,
      "Requested to copy Buffer contents from offset: 1000 when the buffer is only 1000 bytes big.");
  EXPECT_EQ(clone->primaryBuffer, primary);
  EXPECT_EQ(clone->secondaryBuffer, secondary);
  EXPECT_EQ(Contents(primary), "previous");
  EXPECT_EQ(Contents(secondary), "side");

  // An empty packet copies nothing, silently, into new buffers the size of the sources.
  info.primaryBuffer->GetBuffer()->SetUsedSize(0);
  clone = info.Clone({}, {}, 0, 10);
  EXPECT_TRUE(LogCapture::Take().empty());
  EXPECT_EQ(clone->primaryBuffer->GetBuffer()->GetReservedSize(), 1024u);
  EXPECT_EQ(clone->primaryBuffer->GetBuffer()->GetUsedSize(), 0u);
}

TEST_F(AudioCaptureInfoPacket, PartialFramesAreDroppedFromTheSecondaryCopy) {
  auto clone = info.Clone({}, {}, 6, 10);
  EXPECT_EQ(Contents(clone->primaryBuffer), primaryBytes.substr(6, 10));
  EXPECT_EQ(Contents(clone->secondaryBuffer), secondaryBytes.substr(8, 16));
  clone = info.Clone({}, {}, 0, 3);
  EXPECT_EQ(Contents(clone->primaryBuffer), primaryBytes.substr(0, 3));
  EXPECT_EQ(Contents(clone->secondaryBuffer), "") << "less than one frame has no secondary bytes";
  EXPECT_TRUE(LogCapture::Take().empty());
}

TEST_F(AudioCaptureInfoPacket, FramesNarrowerThanAByteHaveNoSecondaryCopy) {
  info.frameBits = 7;
  auto secondary = Holding("stale side data", 64);
  auto clone = info.Clone({}, secondary, 10, 20);
  EXPECT_EQ(Contents(clone->primaryBuffer), primaryBytes.substr(10, 20));
  EXPECT_EQ(clone->secondaryBuffer, secondary);
  EXPECT_EQ(Contents(secondary), "") << "stale bytes would pass for this packet's";
  EXPECT_TRUE(LogCapture::Take().empty());
}

TEST_F(AudioCaptureInfoPacket, ShortSecondaryBufferIsNeverReadPastItsBlock) {
  info.secondaryBuffer = Holding(secondaryBytes.substr(0, 100), 100);
  auto clone = info.Clone({}, {}, 40, AudioCaptureInfo::kToTheEnd);
  EXPECT_EQ(Contents(clone->secondaryBuffer), secondaryBytes.substr(80, 20));
  clone = info.Clone({}, {}, 400, AudioCaptureInfo::kToTheEnd);
  EXPECT_EQ(Contents(clone->secondaryBuffer), "");
  EXPECT_EQ(Contents(clone->primaryBuffer), primaryBytes.substr(400));

  // A secondary handle holding no buffer gets an empty buffer in the clone.
  info.secondaryBuffer = std::make_shared<ManagedBuffer>(nullptr);
  clone = info.Clone();
  EXPECT_EQ(clone->secondaryBuffer->GetBuffer()->GetReservedSize(), 0u);
  EXPECT_EQ(Contents(clone->primaryBuffer), primaryBytes);
}

TEST_F(AudioCaptureInfoPacket, PooledDestinationsGoBackToTheirPoolAndNewOnesTouchNoPool) {
  auto pool = BufferQueue::Create(2, 4096);
  {
    auto clone = info.Clone(pool->AcquireBuffer(1000, false), pool->AcquireBuffer(2000, false), 0,
                            AudioCaptureInfo::kToTheEnd);
    EXPECT_EQ(Contents(clone->primaryBuffer), primaryBytes);
    EXPECT_EQ(Contents(clone->secondaryBuffer), secondaryBytes);
    EXPECT_EQ(pool->GetUsedQueueSize(), 2u);
    AudioCaptureInfo consumerCopy = *clone;
    clone.reset();
    EXPECT_EQ(pool->GetUsedQueueSize(), 2u) << "a copy still holds the handles";
  }
  EXPECT_TRUE(pool->IsFull());

  // A packet on pooled buffers cloned into new buffers: the clone's buffers belong to no pool.
  AudioCaptureInfo pooled(0, 0, 0, 32, 0, 0, nullptr, pool->AcquireBuffer(1000, false),
                          pool->AcquireBuffer(8, false));
  pooled.primaryBuffer->GetBuffer()->AppendDataPtr(primaryBytes.data(), 1000);
  pooled.Clone().reset();
  EXPECT_EQ(pool->GetUsedQueueSize(), 2u);
  EXPECT_EQ(pool->QueueCapacity(), 2u);
  EXPECT_TRUE(LogCapture::Take().empty());
}

}  // namespace
